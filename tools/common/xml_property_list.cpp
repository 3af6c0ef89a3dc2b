#include "tools/common/xml_property_list.h"

#include <plist/plist.h>

#include <memory>

namespace skald::tools {

namespace {

plist_t toNode(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : value.items()) {
                if (plist_t node = toNode(item)) plist_dict_set_item(dict, key.c_str(), node);
            }
            return dict;
        }
        case Json::value_t::array: {
            plist_t array = plist_new_array();
            for (const auto& item : value) {
                if (plist_t node = toNode(item)) plist_array_append_item(array, node);
            }
            return array;
        }
        case Json::value_t::string:
            return plist_new_string(value.get_ref<const std::string&>().c_str());
        case Json::value_t::boolean:
            return plist_new_bool(value.get<bool>() ? 1 : 0);
        case Json::value_t::number_integer:
            return plist_new_uint(static_cast<uint64_t>(value.get<int64_t>()));
        case Json::value_t::number_unsigned:
            return plist_new_uint(value.get<uint64_t>());
        case Json::value_t::number_float:
            return plist_new_real(value.get<double>());
        default:
            return nullptr;
    }
}

}  // namespace

std::string xmlPropertyList(const Json& value) {
    std::unique_ptr<void, decltype(&plist_free)> root(toNode(value), &plist_free);
    if (!root) return {};
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) return {};
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

}  // namespace skald::tools
