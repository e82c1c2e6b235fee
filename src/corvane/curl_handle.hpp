// Owning wrappers for libcurl's C handles.
#pragma once

#include <memory>

#include <curl/curl.h>

namespace corvane::api::detail {

struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlEasyCleanup>;

struct CurlSlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistFree>;

// Strings that libcurl allocated (curl_easy_escape and friends).
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};
using CurlStringPtr = std::unique_ptr<char, CurlFree>;

}  // namespace corvane::api::detail
