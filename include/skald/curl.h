#pragma once

// Only for programs that use libcurl themselves; the SDK does not need it
// included.
#include <curl/curl.h>

namespace skald {

/// `curl_easy_perform(handle)` with the request tracking that URL sessions
/// get: the "skald-trace" and "baggage" headers on requests to the
/// propagation targets, an "http.client" span under the span bound to the
/// scope, an "http" breadcrumb and, for statuses in the failed-request
/// ranges, an error event. `headers` is the list the handle was given with
/// CURLOPT_HTTPHEADER (curl cannot tell it), or null; the handle gets it back
/// afterwards. Returns what `curl_easy_perform` returned. Safe to call
/// before the SDK starts or after it closed: the request is then just
/// performed.
CURLcode performWithTracking(CURL* handle, curl_slist* headers = nullptr);

}  // namespace skald
