#include "crash/reporting/crash_report_filters.h"

#include <cstdio>
#include <utility>

#include "platform/base/utf8.h"
#include "util/json_bytes.h"

namespace skald::crash {

namespace {

Error filterError(std::string description) {
    return Error(kCrashReportFilterErrorDomain, 0, std::move(description));
}

void complete(const CrashReportFilterCompletion& onCompletion, std::vector<Json> reports,
              bool completed, std::optional<Error> error) {
    if (onCompletion) onCompletion(std::move(reports), completed, std::move(error));
}

std::vector<std::string_view> keyPathComponents(std::string_view keyPath) {
    std::vector<std::string_view> components;
    size_t start = 0;
    while (start <= keyPath.size()) {
        const size_t slash = keyPath.find('/', start);
        const size_t end = slash == std::string_view::npos ? keyPath.size() : slash;
        // Leading, trailing and doubled slashes name no key.
        if (end > start) components.push_back(keyPath.substr(start, end - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return components;
}

std::string textOf(const Json* value) {
    if (value == nullptr) return "";
    if (value->is_string()) return value->get<std::string>();
    return describeJson(*value);
}

}  // namespace

const Json* valueAtKeyPath(const Json& report, std::string_view keyPath) {
    const Json* current = &report;
    const auto components = keyPathComponents(keyPath);
    if (components.empty()) return nullptr;
    for (const auto component : components) {
        if (!current->is_object()) return nullptr;
        const auto found = current->find(component);
        if (found == current->end()) return nullptr;
        current = &*found;
    }
    return current;
}

void CrashReportFilterPassthrough::filterReports(std::vector<Json> reports,
                                                 CrashReportFilterCompletion onCompletion) {
    complete(onCompletion, std::move(reports), true, std::nullopt);
}

CrashReportFilterCombine::CrashReportFilterCombine(
    std::vector<std::shared_ptr<CrashReportFilter>> filters, std::vector<std::string> keys)
    : filters_(std::move(filters)), keys_(std::move(keys)) {}

void CrashReportFilterCombine::filterReports(std::vector<Json> reports,
                                             CrashReportFilterCompletion onCompletion) {
    if (filters_.size() != keys_.size()) {
        char text[96];
        std::snprintf(text, sizeof(text), "Key/filter mismatch (%d keys, %d filters",
                      static_cast<int>(keys_.size()), static_cast<int>(filters_.size()));
        complete(onCompletion, std::move(reports), false, filterError(text));
        return;
    }
    for (size_t i = 0; i < filters_.size(); ++i) {
        if (!filters_[i]) {
            complete(onCompletion, std::move(reports), false,
                     filterError("Not a filter: " + keys_[i]));
            return;
        }
    }

    // Filters may complete later on another thread, so the run's state lives
    // on the heap and each completion starts the next filter.
    struct Run {
        std::vector<std::shared_ptr<CrashReportFilter>> filters;
        std::vector<std::string> keys;
        std::vector<Json> input;
        std::vector<std::vector<Json>> outputs;
        CrashReportFilterCompletion onCompletion;
        std::function<void(size_t)> next;
    };
    auto run = std::make_shared<Run>();
    run->filters = filters_;
    run->keys = keys_;
    run->input = std::move(reports);
    run->onCompletion = std::move(onCompletion);
    run->next = [weakRun = std::weak_ptr<Run>(run)](size_t index) {
        auto run = weakRun.lock();
        if (!run) return;
        if (index == run->filters.size()) {
            std::vector<Json> combined;
            combined.reserve(run->input.size());
            for (size_t report = 0; report < run->input.size(); ++report) {
                Json entry = Json::object();
                for (size_t filter = 0; filter < run->outputs.size(); ++filter) {
                    if (report < run->outputs[filter].size())
                        entry[run->keys[filter]] = run->outputs[filter][report];
                }
                combined.push_back(std::move(entry));
            }
            auto onCompletion = std::move(run->onCompletion);
            complete(onCompletion, std::move(combined), true, std::nullopt);
            return;
        }
        run->filters[index]->filterReports(
            run->input,
            [run, index](std::vector<Json> filtered, bool completed, std::optional<Error> error) {
                if (!completed || error) {
                    auto onCompletion = std::move(run->onCompletion);
                    complete(onCompletion, std::move(filtered), false,
                             error ? std::move(error)
                                   : std::optional<Error>(filterError("filteredReports was nil")));
                    return;
                }
                run->outputs.push_back(std::move(filtered));
                run->next(index + 1);
            });
    };
    run->next(0);
}

CrashReportFilterPipeline::CrashReportFilterPipeline(
    std::vector<std::shared_ptr<CrashReportFilter>> filters)
    : filters_(std::move(filters)) {}

void CrashReportFilterPipeline::addFilter(std::shared_ptr<CrashReportFilter> filter) {
    filters_.push_back(std::move(filter));
}

void CrashReportFilterPipeline::filterReports(std::vector<Json> reports,
                                              CrashReportFilterCompletion onCompletion) {
    struct Run {
        std::vector<std::shared_ptr<CrashReportFilter>> filters;
        CrashReportFilterCompletion onCompletion;
        std::function<void(size_t, std::vector<Json>)> next;
    };
    auto run = std::make_shared<Run>();
    run->filters = filters_;
    run->onCompletion = std::move(onCompletion);
    run->next = [weakRun = std::weak_ptr<Run>(run)](size_t index, std::vector<Json> current) {
        auto run = weakRun.lock();
        if (!run) return;
        if (index == run->filters.size()) {
            auto onCompletion = std::move(run->onCompletion);
            complete(onCompletion, std::move(current), true, std::nullopt);
            return;
        }
        if (!run->filters[index]) {
            auto onCompletion = std::move(run->onCompletion);
            complete(onCompletion, std::move(current), false,
                     filterError("Not a filter: pipeline step " + std::to_string(index)));
            return;
        }
        run->filters[index]->filterReports(
            std::move(current),
            [run, index](std::vector<Json> filtered, bool completed, std::optional<Error> error) {
                if (!completed || error) {
                    auto onCompletion = std::move(run->onCompletion);
                    complete(onCompletion, std::move(filtered), false, std::move(error));
                    return;
                }
                run->next(index + 1, std::move(filtered));
            });
    };
    run->next(0, std::move(reports));
}

CrashReportFilterObjectForKey::CrashReportFilterObjectForKey(std::string key, bool allowNotFound)
    : key_(std::move(key)), allowNotFound_(allowNotFound) {}

void CrashReportFilterObjectForKey::filterReports(std::vector<Json> reports,
                                                  CrashReportFilterCompletion onCompletion) {
    std::vector<Json> filtered;
    filtered.reserve(reports.size());
    for (const auto& report : reports) {
        const Json* value = valueAtKeyPath(report, key_);
        if (value == nullptr) {
            if (!allowNotFound_) {
                complete(onCompletion, std::move(filtered), false,
                         filterError("Key not found: " + key_));
                return;
            }
            // Keeps the positions of the reports, which a combine relies on.
            filtered.push_back(Json::object());
            continue;
        }
        filtered.push_back(*value);
    }
    complete(onCompletion, std::move(filtered), true, std::nullopt);
}

CrashReportFilterConcatenate::CrashReportFilterConcatenate(std::string separatorFormat,
                                                           std::vector<std::string> keys)
    : separatorFormat_(std::move(separatorFormat)), keys_(std::move(keys)) {}

void CrashReportFilterConcatenate::filterReports(std::vector<Json> reports,
                                                 CrashReportFilterCompletion onCompletion) {
    std::vector<Json> filtered;
    filtered.reserve(reports.size());
    for (const auto& report : reports) {
        std::string text;
        bool first = true;
        for (const auto& key : keys_) {
            if (!first) {
                std::string separator = separatorFormat_;
                if (const size_t at = separator.find("%@"); at != std::string::npos)
                    separator.replace(at, 2, key);
                text += separator;
            }
            first = false;
            text += textOf(valueAtKeyPath(report, key));
        }
        filtered.emplace_back(std::move(text));
    }
    complete(onCompletion, std::move(filtered), true, std::nullopt);
}

CrashReportFilterSubset::CrashReportFilterSubset(std::vector<std::string> keyPaths)
    : keyPaths_(std::move(keyPaths)) {}

void CrashReportFilterSubset::filterReports(std::vector<Json> reports,
                                            CrashReportFilterCompletion onCompletion) {
    std::vector<Json> filtered;
    filtered.reserve(reports.size());
    for (const auto& report : reports) {
        Json subset = Json::object();
        for (const auto& keyPath : keyPaths_) {
            const Json* value = valueAtKeyPath(report, keyPath);
            if (value == nullptr) continue;
            Json* target = &subset;
            const auto components = keyPathComponents(keyPath);
            for (size_t i = 0; i + 1 < components.size(); ++i) {
                Json& child = (*target)[std::string(components[i])];
                if (!child.is_object()) child = Json::object();
                target = &child;
            }
            (*target)[std::string(components.back())] = *value;
        }
        filtered.push_back(std::move(subset));
    }
    complete(onCompletion, std::move(filtered), true, std::nullopt);
}

void CrashReportFilterDataToString::filterReports(std::vector<Json> reports,
                                                  CrashReportFilterCompletion onCompletion) {
    std::vector<Json> filtered;
    filtered.reserve(reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        if (!reports[i].is_binary()) {
            complete(onCompletion, std::move(filtered), false,
                     filterError("Report " + std::to_string(i) + " is not data"));
            return;
        }
        const auto& bytes = reports[i].get_binary();
        std::string text(bytes.begin(), bytes.end());
        if (!platform::isValidUtf8(text)) {
            complete(onCompletion, std::move(filtered), false,
                     filterError("Report " + std::to_string(i) + " is not UTF-8 text"));
            return;
        }
        filtered.emplace_back(std::move(text));
    }
    complete(onCompletion, std::move(filtered), true, std::nullopt);
}

void CrashReportFilterStringToData::filterReports(std::vector<Json> reports,
                                                  CrashReportFilterCompletion onCompletion) {
    std::vector<Json> filtered;
    filtered.reserve(reports.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        if (!reports[i].is_string()) {
            complete(onCompletion, std::move(filtered), false,
                     filterError("Report " + std::to_string(i) + " is not text"));
            return;
        }
        const auto& text = reports[i].get_ref<const std::string&>();
        filtered.push_back(Json::binary(std::vector<uint8_t>(text.begin(), text.end())));
    }
    complete(onCompletion, std::move(filtered), true, std::nullopt);
}

}  // namespace skald::crash
