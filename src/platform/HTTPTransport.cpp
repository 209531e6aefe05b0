#include "platform/HTTPTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "platform/GlobalQueue.h"
#include "platform/Mutex.h"

namespace kx {

namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

std::int64_t urlErrorCode(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return kHTTPTransportTimedOut;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return kHTTPTransportBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kHTTPTransportCannotFindHost;
    case CURLE_COULDNT_CONNECT: return kHTTPTransportCannotConnect;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return kHTTPTransportConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return kHTTPTransportBadServerResponse;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return kHTTPTransportSecureConnectionFailed;
    case CURLE_READ_ERROR: return kHTTPTransportCannotOpenFile;
    case CURLE_WRITE_ERROR: return kHTTPTransportCannotWriteFile;
    case CURLE_ABORTED_BY_CALLBACK: return kHTTPTransportCancelled;
    default: return kHTTPTransportUnknown;
  }
}

Error curlError(CURLcode code, const char* detail) {
  std::string message = (detail && *detail) ? detail : curl_easy_strerror(code);
  return Error(kURLErrorDomain, urlErrorCode(code),
               Value::dict({{kLocalizedDescriptionKey, Value(message)},
                            {"curlCode", Value(static_cast<int>(code))}}));
}

Error cancelledError() {
  return Error::make(kURLErrorDomain, kHTTPTransportCancelled, "cancelled");
}

void ensureCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string HTTPResponseHead::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return value;
  }
  return {};
}

// One request from start to completion. Owned by its loop's thread once
// started; the stream flag is also written by stream tasks.
struct Transfer {
  HTTPTransport::RequestID id = 0;
  // The loop that runs it.
  std::size_t loop = 0;
  HTTPRequest request;
  HTTPTransport::Completion completion;
  // Called on its transport thread instead of queuing the completion
  // (synchronous requests).
  bool direct = false;

  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  curl_slist* connectTo = nullptr;
  FILE* bodyFile = nullptr;
  FILE* downloadFile = nullptr;
  HTTPResponse response;
  bool headComplete = false;  // the head of the final answer is in
  bool headHandedOn = false;  // onHead was called (or queued)
  bool writeFailed = false;
  bool setsCookie = false;  // an answer carried Set-Cookie
  std::atomic<bool> streamAborted{false};
  char errorBuffer[CURL_ERROR_SIZE] = {0};

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
    if (connectTo) curl_slist_free_all(connectTo);
    if (bodyFile) std::fclose(bodyFile);
    if (downloadFile) std::fclose(downloadFile);
  }
};

class HTTPTransport::Impl {
 public:
  Impl() {
    ensureCurlGlobal();
    sharedWithJar_ = makeShare(true);
    sharedWithoutJar_ = makeShare(false);
    const std::size_t count = loopCount();
    {
      kx::MutexLock lock(mu_);
      inboxes_.resize(count);
    }
    for (std::size_t i = 0; i < count; ++i) {
      auto loop = std::make_unique<Loop>();
      loop->index = i;
      loop->multi = curl_multi_init();
      // Kept-alive connections stay pooled however few requests are running
      // (by default the pool shrinks with the number of running requests,
      // and the next burst opens its connections and TLS sessions again).
      curl_multi_setopt(loop->multi, CURLMOPT_MAXCONNECTS, kPooledConnections);
      loops_.push_back(std::move(loop));
    }
    for (auto& loop : loops_) {
      Loop* l = loop.get();
      l->thread = std::thread([this, l] { run(*l); });
    }
  }

  ~Impl() {
    stop();
    // The spare handles hold the shares: they go first.
    for (auto& loop : loops_) {
      for (auto& spares : loop->spareEasy) {
        for (CURL* easy : spares) curl_easy_cleanup(easy);
      }
      curl_multi_cleanup(loop->multi);
    }
    curl_share_cleanup(sharedWithJar_);
    curl_share_cleanup(sharedWithoutJar_);
  }

  // Cancels what runs and ends the transport threads; later requests are
  // answered as cancelled. Only the first call does anything.
  void stop() {
    {
      kx::MutexLock lock(mu_);
      if (stopping_) return;
      stopping_ = true;
      for (auto& loop : loops_) loop->mail.store(true);
    }
    for (auto& loop : loops_) curl_multi_wakeup(loop->multi);
    for (auto& loop : loops_) loop->thread.join();
  }

  RequestID start(HTTPRequest request, Completion completion, bool direct) {
    auto transfer = std::make_shared<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    transfer->direct = direct;
    Loop* loop = nullptr;
    {
      kx::MutexLock lock(mu_);
      // The loop with the fewest requests, the first of equals: requests one
      // at a time all go to the first loop and keep using its connections.
      std::size_t chosen = 0;
      for (std::size_t i = 1; i < inboxes_.size(); ++i) {
        if (inboxes_[i].active < inboxes_[chosen].active) chosen = i;
      }
      transfer->loop = chosen;
      transfer->id = nextSerial_++ * inboxes_.size() + chosen;
      if (stopping_) {
        lateCancel(transfer);
        return transfer->id;
      }
      inboxes_[chosen].pending.push_back(transfer);
      ++inboxes_[chosen].active;
      ++active_;
      loop = loops_[chosen].get();
      loop->mail.store(true);
    }
    curl_multi_wakeup(loop->multi);
    return transfer->id;
  }

  void cancel(RequestID id) {
    const std::size_t index = id % loops_.size();
    {
      kx::MutexLock lock(mu_);
      inboxes_[index].cancels.push_back(id);
      loops_[index]->mail.store(true);
    }
    curl_multi_wakeup(loops_[index]->multi);
  }

  std::vector<Cookie> cookies() {
    std::vector<Cookie> out;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_SHARE, sharedWithJar_);
    curl_slist* list = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) == CURLE_OK) {
      for (curl_slist* item = list; item; item = item->next) {
        Cookie cookie;
        // A deleted cookie stays in libcurl's list, expired, until the next
        // change of the jar.
        if (!HTTPTransport::parseCookieLine(item->data, &cookie)) continue;
        if (cookie.expires != 0 && cookie.expires <= now) continue;
        out.push_back(std::move(cookie));
      }
      curl_slist_free_all(list);
    }
    curl_easy_cleanup(easy);
    return out;
  }

  void clearCookies() {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_SHARE, sharedWithJar_);
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, "ALL");
    curl_easy_cleanup(easy);
    cookiesChanged();
  }

  void addCookieLine(const std::string& line) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_SHARE, sharedWithJar_);
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str());
    curl_easy_cleanup(easy);
    cookiesChanged();
  }

  void setCookiesChangedHandler(std::function<void()> handler) {
    kx::MutexLock lock(handlerMu_);
    cookiesChangedHandler_ = std::move(handler);
  }

  void cookiesChanged() {
    std::function<void()> handler;
    {
      kx::MutexLock lock(handlerMu_);
      handler = cookiesChangedHandler_;
    }
    if (handler) Queue::invokeGuarded(handler, "kx.http.transport.cookies");
  }

  void setConnectTo(std::vector<std::string> entries) {
    kx::MutexLock lock(mu_);
    connectTo_ = std::make_shared<const std::vector<std::string>>(std::move(entries));
  }

  void setTrustedCertificates(std::string pem) {
    kx::MutexLock lock(mu_);
    trustedPEM_ = std::make_shared<const std::string>(std::move(pem));
  }

  std::size_t activeRequests() const {
    kx::MutexLock lock(mu_);
    return active_;
  }

 private:
  static void lockShare(CURL*, curl_lock_data data, curl_lock_access,
                        void* user) NO_THREAD_SAFETY_ANALYSIS {
    static_cast<ShareLocks*>(user)->locks[data].lock();
  }
  static void unlockShare(CURL*, curl_lock_data data, void* user) NO_THREAD_SAFETY_ANALYSIS {
    static_cast<ShareLocks*>(user)->locks[data].unlock();
  }

  CURLSH* makeShare(bool withJar) {
    CURLSH* share = curl_share_init();
    ShareLocks* locks = withJar ? &jarLocks_ : &plainLocks_;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lockShare);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlockShare);
    curl_share_setopt(share, CURLSHOPT_USERDATA, locks);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    // TLS sessions are not shared: the TLS library keeps working on a cached
    // session after libcurl lets go of the share's lock, and with sessions
    // shared between loops ThreadSanitizer caught it copying a session's
    // data on one loop's thread while another freed it. Each easy handle
    // keeps its own sessions (a kept handle resumes them).
    if (withJar) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    return share;
  }

  // For a request that arrives while stopping.
  void lateCancel(const std::shared_ptr<Transfer>& transfer) REQUIRES(mu_) {
    complete(transfer, cancelledError(), false);
  }

  // --- callbacks (a loop's thread) ---

  static std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
      // A new answer begins (after 1xx or a followed redirect).
      t->response.headers.clear();
      t->headComplete = false;
      std::size_t space = line.find(' ');
      t->response.status =
          space == std::string_view::npos
              ? 0
              : std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
      return n;
    }
    std::string_view trimmed = trim(line);
    if (trimmed.empty()) {
      if (t->response.status >= 200) t->headComplete = true;
      return n;
    }
    std::size_t colon = trimmed.find(':');
    if (colon == std::string_view::npos) return n;
    if (t->request.useCookieJar && equalsIgnoreCase(trim(trimmed.substr(0, colon)), "Set-Cookie")) {
      t->setsCookie = true;
    }
    t->response.headers.emplace_back(std::string(trim(trimmed.substr(0, colon))),
                                     std::string(trim(trimmed.substr(colon + 1))));
    return n;
  }

  static bool handHeadOn(Transfer* t, const std::shared_ptr<Transfer>& keep) {
    if (t->headHandedOn || !t->request.onHead) return true;
    t->headHandedOn = true;
    if (t->request.streamQueue) {
      HTTPResponseHead head = t->response;
      t->request.streamQueue->async([keep, head = std::move(head)] {
        if (keep->streamAborted.load()) return;
        if (!keep->request.onHead(head)) keep->streamAborted.store(true);
      });
      return true;
    }
    bool go = false;
    Queue::invokeGuarded([&] { go = t->request.onHead(t->response); }, "kx.http.transport");
    return go;
  }

  struct WriteContext {
    Transfer* transfer;
    std::shared_ptr<Transfer> keep;
  };

  // One thread driving one multi handle, with that handle's connection pool.
  // Every field but `thread` is its thread's alone once it runs.
  struct Loop {
    std::size_t index = 0;
    CURLM* multi = nullptr;
    std::thread thread;
    std::map<RequestID, std::shared_ptr<Transfer>> running;
    std::map<Transfer*, WriteContext*> writeContexts;
    // Easy handles of ended requests, reset, by whether they used the jar
    // (index 1) or not: a new request takes one instead of making one.
    std::vector<CURL*> spareEasy[2];
    // Raised (after the hand-over, under mu_) whenever its inbox gets work or
    // the transport stops; the loop lowers it before it takes its inbox, so
    // an answer arriving from the network costs the loop no lock.
    std::atomic<bool> mail{false};
  };

  // What is handed to one loop (under mu_), and how many of the transport's
  // requests it runs.
  struct Inbox {
    std::vector<std::shared_ptr<Transfer>> pending;
    std::vector<RequestID> cancels;
    std::size_t active = 0;
  };

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* ctx = static_cast<WriteContext*>(user);
    Transfer* t = ctx->transfer;
    std::size_t n = size * count;
    if (t->streamAborted.load()) return 0;
    if (t->downloadFile) {
      if (std::fwrite(data, 1, n, t->downloadFile) != n) {
        t->writeFailed = true;
        return 0;
      }
      return n;
    }
    if (t->request.onData) {
      if (!handHeadOn(t, ctx->keep)) {
        t->streamAborted.store(true);
        return 0;
      }
      if (t->request.streamQueue) {
        std::string chunk(data, n);
        auto keep = ctx->keep;
        t->request.streamQueue->async([keep, chunk = std::move(chunk)] {
          if (keep->streamAborted.load()) return;
          if (!keep->request.onData(chunk.data(), chunk.size())) keep->streamAborted.store(true);
        });
        return n;
      }
      bool go = false;
      Queue::invokeGuarded([&] { go = t->request.onData(data, n); }, "kx.http.transport");
      if (!go) {
        t->streamAborted.store(true);
        return 0;
      }
      return n;
    }
    t->response.body.insert(t->response.body.end(), reinterpret_cast<std::uint8_t*>(data),
                            reinterpret_cast<std::uint8_t*>(data) + n);
    return n;
  }

  static std::size_t onReadFile(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t n = std::fread(buffer, 1, size * count, t->bodyFile);
    if (n == 0 && std::ferror(t->bodyFile)) return CURL_READFUNC_ABORT;
    return n;
  }

  static std::size_t onReadReader(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t n = 0;
    if (!Queue::invokeGuarded([&] { n = t->request.bodyReader(buffer, size * count); },
                              "kx.http.transport")) {
      return CURL_READFUNC_ABORT;
    }
    return std::min(n, size * count);
  }

  static curl_socket_t onOpenSocket(void* user, curlsocktype, struct curl_sockaddr* address) {
    auto* t = static_cast<Transfer*>(user);
    if (!t->request.allowAddress(&address->addr, address->addrlen)) return CURL_SOCKET_BAD;
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    return t->streamAborted.load() ? 1 : 0;
  }

  // --- setting up ---

  // Returns an empty error when the easy handle is ready to be added.
  Error setUp(Loop& loop, const std::shared_ptr<Transfer>& transfer,
              const std::vector<std::string>& connectTo, const std::string& trustedPEM) {
    Transfer* t = transfer.get();
    HTTPRequest& r = t->request;
    std::vector<CURL*>& spares = loop.spareEasy[r.useCookieJar ? 1 : 0];
    if (!spares.empty()) {
      t->easy = spares.back();
      spares.pop_back();
    } else {
      t->easy = curl_easy_init();
    }
    if (!t->easy) return Error::make(kURLErrorDomain, kHTTPTransportUnknown, "no easy handle");
    CURL* e = t->easy;
    curl_easy_setopt(e, CURLOPT_PRIVATE, t);
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_SHARE, r.useCookieJar ? sharedWithJar_ : sharedWithoutJar_);
    // The share holds the jar; this turns the cookie engine on for the request.
    if (r.useCookieJar) curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L);
    if (r.timeoutSeconds > 0) {
      curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(r.timeoutSeconds * 1000.0 + 0.5));
    }
    if (!connectTo.empty()) {
      for (const auto& entry : connectTo)
        t->connectTo = curl_slist_append(t->connectTo, entry.c_str());
      curl_easy_setopt(e, CURLOPT_CONNECT_TO, t->connectTo);
    }
    if (r.allowAddress) {
      curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &Impl::onOpenSocket);
      curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, t);
      curl_easy_setopt(e, CURLOPT_PROXY, "");
      curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    }
    if (!trustedPEM.empty()) {
      curl_blob blob{const_cast<char*>(trustedPEM.data()), trustedPEM.size(), CURL_BLOB_COPY};
      curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
      curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    }

    // Method and body.
    bool hasBody = false;
    bool noBodyMethod = r.method == "GET" || r.method == "HEAD";
    if (!noBodyMethod) {
      if (!r.body.empty() || (r.bodyFile.empty() && !r.bodyReader)) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS,
                         r.body.empty() ? "" : reinterpret_cast<const char*>(r.body.data()));
        hasBody = true;
      } else if (!r.bodyFile.empty()) {
        t->bodyFile = std::fopen(r.bodyFile.c_str(), "rb");
        if (!t->bodyFile) {
          return Error(kURLErrorDomain, kHTTPTransportCannotOpenFile,
                       Value::dict({{kLocalizedDescriptionKey, Value("cannot open the body file")},
                                    {kFilePathErrorKey, Value(r.bodyFile)}}));
        }
        std::fseek(t->bodyFile, 0, SEEK_END);
        long end = std::ftell(t->bodyFile);
        std::int64_t offset =
            std::max<std::int64_t>(0, std::min<std::int64_t>(r.bodyFileOffset, end));
        std::fseek(t->bodyFile, static_cast<long>(offset), SEEK_SET);
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(end - offset));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &Impl::onReadFile);
        curl_easy_setopt(e, CURLOPT_READDATA, t);
        hasBody = true;
      } else {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(r.bodyReaderLength));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &Impl::onReadReader);
        curl_easy_setopt(e, CURLOPT_READDATA, t);
        hasBody = true;
      }
      if (r.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    } else if (r.method == "HEAD") {
      curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    }

    // Header fields: the caller's, then removals of what libcurl would add
    // on its own and the caller did not ask for.
    bool hasContentType = false, hasExpect = false;
    for (const auto& [name, value] : r.headers) {
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      t->headerList = curl_slist_append(t->headerList, line.c_str());
      if (equalsIgnoreCase(name, "Content-Type")) hasContentType = true;
      if (equalsIgnoreCase(name, "Expect")) hasExpect = true;
    }
    if (hasBody && !hasContentType)
      t->headerList = curl_slist_append(t->headerList, "Content-Type:");
    if (hasBody && !hasExpect) t->headerList = curl_slist_append(t->headerList, "Expect:");
    if (t->headerList) curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

    // Answer.
    if (!r.downloadFile.empty()) {
      t->downloadFile = std::fopen(r.downloadFile.c_str(), "wb");
      if (!t->downloadFile) {
        return Error(
            kURLErrorDomain, kHTTPTransportCannotWriteFile,
            Value::dict({{kLocalizedDescriptionKey, Value("cannot create the download file")},
                         {kFilePathErrorKey, Value(r.downloadFile)}}));
      }
    }
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeaderLine);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t);
    auto* ctx = new WriteContext{t, transfer};
    loop.writeContexts[t] = ctx;
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, ctx);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, t);
    return {};
  }

  // --- completing ---

  // Hands the outcome on exactly once. Runs on the transport thread, or on
  // the caller's thread for a request refused while stopping.
  void complete(const std::shared_ptr<Transfer>& transfer, Error error, bool counted = true) {
    Transfer* t = transfer.get();
    if (counted) {
      // Before the completion can run, so that it sees itself finished.
      kx::MutexLock lock(mu_);
      --active_;
      --inboxes_[t->loop].active;
    }
    if (t->bodyFile) {
      std::fclose(t->bodyFile);
      t->bodyFile = nullptr;
    }
    if (t->downloadFile) {
      if (std::fclose(t->downloadFile) != 0 && !error) {
        error = Error::make(kURLErrorDomain, kHTTPTransportCannotWriteFile,
                            "cannot write the download file");
      }
      t->downloadFile = nullptr;
    }
    if (!t->completion) return;
    Completion completion = std::move(t->completion);
    t->completion = nullptr;
    if (t->direct) {
      completion(std::move(t->response), error);
      return;
    }
    Queue* queue = t->request.completionQueue ? t->request.completionQueue : &GlobalQueue::get();
    if (t->request.streamQueue && (t->request.onData || t->request.onHead)) {
      // After the last chunk: queue the completion from the stream queue.
      t->request.streamQueue->async(
          [transfer, queue, completion = std::move(completion), error]() mutable {
            if (transfer->request.onHead && !transfer->headHandedOn &&
                transfer->response.status != 0 && !transfer->streamAborted.load()) {
              transfer->headHandedOn = true;
              transfer->request.onHead(transfer->response);
            }
            queue->async([transfer, completion = std::move(completion), error]() mutable {
              completion(std::move(transfer->response), error);
            });
          });
      return;
    }
    queue->async([transfer, completion = std::move(completion), error]() mutable {
      completion(std::move(transfer->response), error);
    });
  }

  void finish(Loop& loop, Transfer* t, CURLcode code) {
    auto it = loop.running.find(t->id);
    if (it == loop.running.end()) return;
    std::shared_ptr<Transfer> transfer = it->second;
    loop.running.erase(it);
    curl_multi_remove_handle(loop.multi, t->easy);
    dropWriteContext(loop, t);
    char* url = nullptr;
    if (curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url)
      t->response.url = url;
    long status = 0;
    if (curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status) {
      t->response.status = status;
    }
    Error error;
    if (t->streamAborted.load()) {
      error = cancelledError();
    } else if (code != CURLE_OK) {
      error = curlError(code, t->errorBuffer);
    }
    // Without a body callback the head goes to onHead here.
    if (!t->request.onData && t->request.onHead && !error) handHeadOn(t, transfer);
    releaseEasy(loop, t);
    if (t->setsCookie) cookiesChanged();
    complete(transfer, std::move(error));
  }

  static void dropWriteContext(Loop& loop, Transfer* t) {
    auto it = loop.writeContexts.find(t);
    if (it != loop.writeContexts.end()) {
      delete it->second;
      loop.writeContexts.erase(it);
    }
  }

  // Easy handles are kept for the loop's next requests or freed here, on the
  // loop's thread, while the shares they use are alive, whoever holds the
  // transfer afterwards. A reset handle keeps no option, callback or header
  // of its request; the connections stay in the multi handle's pool.
  static void releaseEasy(Loop& loop, Transfer* t) {
    if (!t->easy) return;
    std::vector<CURL*>& spares = loop.spareEasy[t->request.useCookieJar ? 1 : 0];
    if (spares.size() < kSpareEasyHandles) {
      // The list of cookie files the request was given outlives a reset
      // (and leaks) unless it is emptied first; the jar stays in the share.
      if (t->request.useCookieJar) curl_easy_setopt(t->easy, CURLOPT_COOKIEFILE, nullptr);
      curl_easy_reset(t->easy);
      spares.push_back(t->easy);
    } else {
      curl_easy_cleanup(t->easy);
    }
    t->easy = nullptr;
  }

  void stopOne(Loop& loop, const std::shared_ptr<Transfer>& transfer) {
    curl_multi_remove_handle(loop.multi, transfer->easy);
    dropWriteContext(loop, transfer.get());
    releaseEasy(loop, transfer.get());
    if (transfer->setsCookie) cookiesChanged();
    complete(transfer, cancelledError());
  }

  // --- the loops' threads ---

  void run(Loop& loop) {
    for (;;) {
      std::vector<std::shared_ptr<Transfer>> incoming;
      std::vector<RequestID> cancels;
      std::shared_ptr<const std::vector<std::string>> connectTo;
      std::shared_ptr<const std::string> trustedPEM;
      bool stopping = false;
      if (loop.mail.exchange(false)) {
        kx::MutexLock lock(mu_);
        incoming.swap(inboxes_[loop.index].pending);
        cancels.swap(inboxes_[loop.index].cancels);
        stopping = stopping_;
        if (!incoming.empty()) {
          connectTo = connectTo_;
          trustedPEM = trustedPEM_;
        }
      }
      for (auto& transfer : incoming) {
        Error error = setUp(loop, transfer, *connectTo, *trustedPEM);
        if (!error && curl_multi_add_handle(loop.multi, transfer->easy) != CURLM_OK) {
          error = Error::make(kURLErrorDomain, kHTTPTransportUnknown, "cannot add the request");
        }
        if (error) {
          dropWriteContext(loop, transfer.get());
          releaseEasy(loop, transfer.get());
          complete(transfer, std::move(error));
          continue;
        }
        loop.running[transfer->id] = transfer;
      }
      for (RequestID id : cancels) {
        auto it = loop.running.find(id);
        if (it == loop.running.end()) continue;
        auto transfer = it->second;
        loop.running.erase(it);
        stopOne(loop, transfer);
      }
      if (stopping) {
        auto all = std::move(loop.running);
        loop.running.clear();
        for (auto& [id, transfer] : all) stopOne(loop, transfer);
        return;
      }
      int stillRunning = 0;
      curl_multi_perform(loop.multi, &stillRunning);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(loop.multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
        if (t) finish(loop, t, msg->data.result);
      }
      curl_multi_poll(loop.multi, nullptr, 0, 1000, nullptr);
    }
  }

  // libcurl's share locks: libcurl takes and lets go of each in separate
  // callbacks (lockShare, unlockShare), which no scoped lock can describe;
  // those two callbacks are left out of the lock analysis.
  struct ShareLocks {
    kx::Mutex locks[CURL_LOCK_DATA_LAST];
  };

  static constexpr long kPooledConnections = 64;
  // Reset easy handles a loop keeps of each kind.
  static constexpr std::size_t kSpareEasyHandles = 16;

  // How many loops a transport runs: one for every two hardware threads,
  // at least one and at most four.
  static std::size_t loopCount() {
    const std::size_t hardware = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(hardware / 2, 1, 4);
  }

  ShareLocks jarLocks_;
  ShareLocks plainLocks_;
  CURLSH* sharedWithJar_ = nullptr;
  CURLSH* sharedWithoutJar_ = nullptr;
  // Made in the constructor, never changed afterwards.
  std::vector<std::unique_ptr<Loop>> loops_;

  mutable kx::Mutex mu_;
  std::vector<Inbox> inboxes_ GUARDED_BY(mu_);  // one per loop
  // Replaced whole, never changed in place: a loop takes the pointers under
  // the lock and reads them without it.
  std::shared_ptr<const std::vector<std::string>> connectTo_ GUARDED_BY(mu_) =
      std::make_shared<const std::vector<std::string>>();
  std::shared_ptr<const std::string> trustedPEM_ GUARDED_BY(mu_) =
      std::make_shared<const std::string>();
  bool stopping_ GUARDED_BY(mu_) = false;
  RequestID nextSerial_ GUARDED_BY(mu_) = 1;
  std::size_t active_ GUARDED_BY(mu_) = 0;

  kx::Mutex handlerMu_;
  std::function<void()> cookiesChangedHandler_ GUARDED_BY(handlerMu_);
};

HTTPTransport& HTTPTransport::shared() {
  // Once-only, never freed. Its thread is ended when the process exits,
  // before the TLS library's own exit handler (registered when libcurl was
  // initialised, so it runs after this one) frees what a running transfer
  // would still use.
  static HTTPTransport* transport = [] {
    auto* made = new HTTPTransport();
    std::atexit([] { HTTPTransport::shared().impl_->stop(); });
    return made;
  }();
  return *transport;
}

HTTPTransport::HTTPTransport() : impl_(std::make_unique<Impl>()) {}
HTTPTransport::~HTTPTransport() = default;

HTTPTransport::RequestID HTTPTransport::start(HTTPRequest request, Completion completion) {
  return impl_->start(std::move(request), std::move(completion), false);
}

void HTTPTransport::cancel(RequestID id) { impl_->cancel(id); }

HTTPResponse HTTPTransport::perform(HTTPRequest request, Error* error) {
  std::promise<std::pair<HTTPResponse, Error>> done;
  auto result = done.get_future();
  impl_->start(
      std::move(request),
      [&done](HTTPResponse response, const Error& e) {
        done.set_value({std::move(response), e});
      },
      true);
  auto [response, e] = result.get();
  if (e) SetError(error, e);
  return response;
}

std::vector<HTTPTransport::Cookie> HTTPTransport::cookies() const { return impl_->cookies(); }
void HTTPTransport::clearCookies() { impl_->clearCookies(); }

namespace {

// The jar takes C strings, one tab-separated line per cookie.
bool cookieFieldOK(std::string_view field) {
  return field.find_first_of(std::string_view("\t\r\n\0", 4)) == std::string_view::npos;
}

// A domain the jar keeps as it was given: not empty, not a lone "." (the
// jar then holds a cookie without a domain, and listing it crashes
// libcurl), not starting with "#" once a leading "." is dropped (the line
// reads as a comment).
bool cookieDomainOK(std::string_view domain) {
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  return !domain.empty() && domain.front() != '#' && cookieFieldOK(domain);
}

}  // namespace

bool HTTPTransport::setCookie(const Cookie& cookie) {
  if (cookie.name.empty() || !cookieDomainOK(cookie.domain) || !cookieFieldOK(cookie.path) ||
      !cookieFieldOK(cookie.name) || !cookieFieldOK(cookie.value)) {
    return false;
  }
  impl_->addCookieLine(cookieLine(cookie));
  return true;
}

void HTTPTransport::deleteCookie(const Cookie& cookie) {
  if (cookie.name.empty() || !cookieDomainOK(cookie.domain) || !cookieFieldOK(cookie.path) ||
      !cookieFieldOK(cookie.name)) {
    return;
  }
  // libcurl has no removal of one cookie: an expired cookie of the same
  // domain, path and name replaces it and is dropped at the next change.
  Cookie expired = cookie;
  expired.expires = 1;
  expired.value.clear();
  impl_->addCookieLine(cookieLine(expired));
}

void HTTPTransport::setCookiesChangedHandler(std::function<void()> handler) {
  impl_->setCookiesChangedHandler(std::move(handler));
}

std::string HTTPTransport::cookieLine(const Cookie& cookie) {
  std::string line;
  if (cookie.httpOnly) line += "#HttpOnly_";
  line += cookie.domain;
  line += cookie.includeSubdomains ? "\tTRUE\t" : "\tFALSE\t";
  line += cookie.path.empty() ? "/" : cookie.path;
  line += cookie.secure ? "\tTRUE\t" : "\tFALSE\t";
  line += std::to_string(cookie.expires);
  line += "\t" + cookie.name + "\t" + cookie.value;
  return line;
}

bool HTTPTransport::parseCookieLine(std::string_view line, Cookie* cookie) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (fields.size() < 6) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) return false;
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  std::string_view domain = fields[0];
  constexpr std::string_view kHttpOnly = "#HttpOnly_";
  cookie->httpOnly = false;
  if (domain.substr(0, kHttpOnly.size()) == kHttpOnly) {
    cookie->httpOnly = true;
    domain.remove_prefix(kHttpOnly.size());
  }
  cookie->domain = std::string(domain);
  cookie->includeSubdomains = fields[1] == "TRUE";
  cookie->path = std::string(fields[2]);
  cookie->secure = fields[3] == "TRUE";
  cookie->expires = std::strtoll(std::string(fields[4]).c_str(), nullptr, 10);
  cookie->name = std::string(fields[5]);
  cookie->value = std::string(line.substr(start));
  return true;
}

void HTTPTransport::setConnectTo(std::vector<std::string> entries) {
  impl_->setConnectTo(std::move(entries));
}
void HTTPTransport::setTrustedCertificates(std::string pem) {
  impl_->setTrustedCertificates(std::move(pem));
}
std::size_t HTTPTransport::activeRequests() const { return impl_->activeRequests(); }

}  // namespace kx
