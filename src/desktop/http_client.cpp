#include "desktop/http_client.hpp"

#include <curl/curl.h>

#include <memory>

namespace parley::desktop {
namespace {

std::size_t append(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

struct Handles {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{nullptr, &curl_easy_cleanup};
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr,
                                                                      &curl_slist_free_all};
  std::unique_ptr<curl_mime, decltype(&curl_mime_free)> mime{nullptr, &curl_mime_free};
};

Handles open(const std::string& url, const std::vector<std::string>& headers,
             std::chrono::milliseconds timeout) {
  static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  Handles handles;
  if (initialized)
    handles.easy.reset(curl_easy_init());
  if (!handles.easy)
    throw HttpTransportError("HTTP client could not start");
  for (const auto& header : headers) {
    handles.headers.reset(curl_slist_append(handles.headers.release(), header.c_str()));
  }
  CURL* easy = handles.easy.get();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, handles.headers.get());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &append);
  return handles;
}

HttpReply perform(Handles& handles) {
  HttpReply reply;
  CURL* easy = handles.easy.get();
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
  const CURLcode code = curl_easy_perform(easy);
  if (code != CURLE_OK)
    throw HttpTransportError(curl_easy_strerror(code));
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
  const char* type = nullptr;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
  if (type)
    reply.contentType = type;
  return reply;
}

}  // namespace

HttpReply HttpClient::post(const std::string& url, const std::vector<std::string>& headers,
                           const std::string& body, std::chrono::milliseconds timeout) {
  Handles handles = open(url, headers, timeout);
  curl_easy_setopt(handles.easy.get(), CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handles.easy.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(body.size()));
  return perform(handles);
}

HttpReply HttpClient::postForm(const std::string& url, const std::vector<std::string>& headers,
                               const std::vector<HttpFormPart>& parts,
                               std::chrono::milliseconds timeout) {
  Handles handles = open(url, headers, timeout);
  handles.mime.reset(curl_mime_init(handles.easy.get()));
  for (const auto& part : parts) {
    curl_mimepart* field = curl_mime_addpart(handles.mime.get());
    curl_mime_name(field, part.name.c_str());
    curl_mime_data(field, part.data.data(), part.data.size());
    if (!part.fileName.empty())
      curl_mime_filename(field, part.fileName.c_str());
    if (!part.contentType.empty())
      curl_mime_type(field, part.contentType.c_str());
  }
  curl_easy_setopt(handles.easy.get(), CURLOPT_MIMEPOST, handles.mime.get());
  return perform(handles);
}

}  // namespace parley::desktop
