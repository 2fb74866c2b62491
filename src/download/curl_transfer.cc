#include "download/transfer.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string_view>

#include "platform/temp_dir.h"

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// Curl's messages are meant to be one line already; the delegate relies on it.
std::string oneLine(std::string_view text) {
  std::string line(trim(text));
  for (char& c : line) {
    if (c == '\r' || c == '\n')
      c = ' ';
  }
  return line;
}

// True when `line` is the header `name` (any case); `value` gets its value
// without the blanks around it.
bool headerValue(std::string_view line, std::string_view name, std::string_view* value) {
  if (line.size() <= name.size() || line[name.size()] != ':' ||
      g_ascii_strncasecmp(line.data(), name.data(), name.size()) != 0)
    return false;
  *value = trim(line.substr(name.size() + 1));
  return true;
}

// Body bytes are written in pieces at least this large: a TLS record brings
// 16 KiB at a time, and a write each would be most of the run's system time.
const size_t kWritePiece = 512 * 1024;

int64_t parseLength(std::string_view value) {
  guint64 length = 0;
  if (!g_ascii_string_to_unsigned(std::string(value).c_str(), 10, 0, INT64_MAX, &length,
                                  nullptr))
    return -1;
  return static_cast<int64_t>(length);
}

// "bytes N-M/T" gives N; anything else -1.
int64_t contentRangeStart(std::string_view value) {
  if (value.size() < 6 || g_ascii_strncasecmp(value.data(), "bytes ", 6) != 0)
    return -1;
  value.remove_prefix(6);
  size_t dash = value.find('-');
  return dash == std::string_view::npos ? -1 : parseLength(trim(value.substr(0, dash)));
}

// Seconds to wait from a Retry-After value, a number or an HTTP date; -1
// when it is neither.
int64_t parseRetryAfter(std::string_view value) {
  int64_t seconds = parseLength(value);
  if (seconds >= 0)
    return seconds;
  time_t when = curl_getdate(std::string(value).c_str(), nullptr);
  if (when == -1)
    return -1;
  time_t now = time(nullptr);
  return when > now ? static_cast<int64_t>(when - now) : 0;
}

// Failures that another attempt may not meet: the network or the server
// may have recovered by then. A name that does not resolve, a certificate
// that does not verify or a URL the server does not know will not change.
bool isTransient(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

bool isTransientStatus(long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

// Returns a description of what is wrong with `url`, empty when it is an
// http or https URL. Curl itself would guess "http://" for a URL without a
// scheme; here the scheme must be spelled out.
std::string checkUrl(const std::string& url, bool* secure) {
  CURLU* parsed = curl_url();
  CURLUcode code = curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
  char* scheme = nullptr;
  if (code == CURLUE_OK)
    code = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
  std::string problem;
  if (code != CURLUE_OK)
    problem = std::string("Malformed URL: ") + curl_url_strerror(code);
  else if (strcmp(scheme, "https") == 0)
    *secure = true;
  else if (strcmp(scheme, "http") == 0)
    *secure = false;
  else
    problem = std::string("Unsupported protocol \"") + scheme + "\": only http and https";
  curl_free(scheme);
  curl_url_cleanup(parsed);
  return problem;
}

void removeSource(guint* source) {
  if (*source != 0)
    g_source_remove(*source);
  *source = 0;
}

// A run goes from start() to the delegate's last word and may take several
// attempts, each a request of its own; the body so far outlives an attempt
// when the next can resume it.
class CurlTransfer : public Transfer {
 public:
  CurlTransfer(int idleTimeoutSeconds, RetryPolicy policy)
      : idleSeconds_(idleTimeoutSeconds), policy_(policy) {}
  ~CurlTransfer() override { cancel(); }
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  void start(const std::string& url, const std::string& destination,
             const std::string& ifNoneMatch, TransferDelegate* delegate,
             int64_t maximumLength) override;
  void cancel() override;
  std::string effectiveUrl() const override { return effectiveUrl_; }

 private:
  // The header block being read; redirects and 1xx answers have their own.
  struct HeaderBlock {
    bool open = false;
    bool hasLocation = false;
    bool hasETag = false;
    bool chunked = false;
    bool acceptsRanges = false;
    std::string etag;
    int64_t length = -1;
    int64_t rangeStart = -1;
    int64_t retryAfter = -1;
  };

  std::string beginAttempt();
  std::string setUp();
  void endAttempt();
  void drive(curl_socket_t fd, int action);
  void deliver();
  void complete(CURLcode result);
  void finish();
  void attemptFailed(const std::string& description, bool transient);
  void waitForNextAttempt(int64_t milliseconds);
  void fail(std::string description);
  void stop();
  bool readHeaderLine(std::string_view line);
  bool endOfHeaderBlock();
  size_t writeBody(const char* data, size_t length);
  std::string claimRoom(int64_t announced);
  bool openPartial();
  bool flush();
  void dropPartial();
  std::string describe(CURLcode code) const;
  std::string partial() const { return destination_ + ".partial"; }

  static int onSocketChange(CURL* easy, curl_socket_t fd, int what, void* self, void* socketp);
  static int onTimerChange(CURLM* multi, long timeoutMs, void* self);
  static gboolean onSocketReady(gint fd, GIOCondition condition, gpointer self);
  static gboolean onTimer(gpointer self);
  static gboolean onIdleCheck(gpointer self);
  static gboolean onEarlyFailure(gpointer self);
  static gboolean onWaitTick(gpointer self);
  static size_t onHeader(char* data, size_t size, size_t count, void* self);
  static size_t onBody(char* data, size_t size, size_t count, void* self);

  const int idleSeconds_;
  const RetryPolicy policy_;
  std::string url_;
  std::string effectiveUrl_;  // where the accepted response came from
  std::string destination_;
  bool secure_ = true;
  // Asked until a body is wanted: after that, the cached agent it named is gone.
  std::string ifNoneMatch_;
  TransferDelegate* delegate_ = nullptr;  // null when no transfer is running
  // One per run. Code that calls the delegate holds a weak reference: when
  // it has expired, the run was cancelled or this transfer deleted, and
  // nothing here may be touched any more.
  std::shared_ptr<char> run_;
  int attempt_ = 0;

  // The body so far: `written_` bytes in the partial file, then `pending_`.
  int file_ = -1;
  int64_t written_ = 0;
  std::string pending_;
  // A resumed body must come with the strong ETag its start came with, and
  // from a server that said it serves ranges.
  std::string entityTag_;
  bool resumable_ = false;
  int64_t rangeFrom_ = 0;  // this attempt asks for the body from here on
  // The longest body the caller takes, -1 for any; and how long this one
  // may grow (the caller's bound or the file system's room, the smaller).
  int64_t maximumLength_ = -1;
  int64_t room_ = INT64_MAX;

  // The attempt under way.
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  struct curl_slist* headers_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  std::map<curl_socket_t, guint> sockets_;
  guint timer_ = 0;
  guint idleTimer_ = 0;
  guint earlyFailure_ = 0;
  gint64 lastReceived_ = 0;
  HeaderBlock block_;
  bool accepted_ = false;  // the final 2xx response has arrived
  bool held_ = false;      // its body waits for the delegate's judgement
  bool paused_ = false;    // and curl holds some of it back meanwhile
  bool notModified_ = false;
  std::string notModifiedTag_;
  std::string failure_;  // why the attempt failed, when curl's own reason is not it
  bool failureTransient_ = false;
  bool restart_ = false;  // the next attempt starts the body over, at once
  int failureStatus_ = 0;
  int64_t retryAfter_ = -1;
  bool responseUnreported_ = false;
  uint64_t bytesUnreported_ = 0;

  // The wait before the next attempt.
  guint waitTimer_ = 0;
  gint64 waitEnd_ = 0;
  RetryNotice notice_;
};

void CurlTransfer::start(const std::string& url, const std::string& destination,
                         const std::string& ifNoneMatch, TransferDelegate* delegate,
                         int64_t maximumLength) {
  cancel();
  url_ = url;
  maximumLength_ = maximumLength;
  room_ = INT64_MAX;
  destination_ = destination;
  ifNoneMatch_ = ifNoneMatch;
  delegate_ = delegate;
  run_ = std::make_shared<char>();
  attempt_ = 0;
  written_ = 0;
  entityTag_.clear();
  resumable_ = false;
  rangeFrom_ = 0;

  std::string problem = checkUrl(url, &secure_);
  if (problem.empty())
    problem = beginAttempt();
  if (!problem.empty()) {
    // The delegate may not hear of the outcome before start() returns.
    failure_ = problem;
    earlyFailure_ = g_timeout_add(0, onEarlyFailure, this);
  }
}

std::string CurlTransfer::beginAttempt() {
  ++attempt_;
  block_ = HeaderBlock();
  accepted_ = false;
  held_ = false;
  paused_ = false;
  notModified_ = false;
  failure_.clear();
  failureTransient_ = false;
  restart_ = false;
  failureStatus_ = 0;
  retryAfter_ = -1;
  responseUnreported_ = false;
  bytesUnreported_ = 0;
  std::string problem = setUp();
  if (!problem.empty())
    return problem;
  lastReceived_ = g_get_monotonic_time();
  if (idleSeconds_ > 0)
    idleTimer_ = g_timeout_add(static_cast<guint>(idleSeconds_) * 1000, onIdleCheck, this);
  return "";
}

std::string CurlTransfer::setUp() {
  multi_ = curl_multi_init();
  easy_ = curl_easy_init();
  if (multi_ == nullptr || easy_ == nullptr)
    return "Cannot set up the transfer library";
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, onSocketChange);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, onTimerChange);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);

  errorBuffer_[0] = '\0';
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, 60L);
  // A server that trickles a byte now and then never trips the idle
  // time-out; below 1 KiB a minute (17 bytes a second) for as long, the
  // transfer fails.
  if (idleSeconds_ > 0) {
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 17L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(idleSeconds_));
  }
  // A proxy's "200 Connection established" must not pass for the response.
  curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  // Large reads: with libcurl's 16 KiB default, a fast transfer spends its
  // time in a main-loop pass, a recv and a write for every 16 KiB.
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);

  CURLcode code = curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
  if (code == CURLE_OK)
    code = curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  if (code == CURLE_OK)
    code = curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, secure_ ? "https" : "http,https");
  // OpenSSL's own variables; libcurl does not look at them, users expect it to.
  const char* caFile = getenv("SSL_CERT_FILE");
  if (code == CURLE_OK && caFile != nullptr && *caFile != '\0')
    code = curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile);
  const char* caDir = getenv("SSL_CERT_DIR");
  if (code == CURLE_OK && caDir != nullptr && *caDir != '\0')
    code = curl_easy_setopt(easy_, CURLOPT_CAPATH, caDir);
  // A resumed body must be the same body: If-Range makes the server send
  // the whole of a changed one instead.
  if (rangeFrom_ > 0) {
    std::string range = std::to_string(rangeFrom_) + "-";
    if (code == CURLE_OK)
      code = curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());
    headers_ = curl_slist_append(headers_, ("If-Range: " + entityTag_).c_str());
  } else if (!ifNoneMatch_.empty()) {
    headers_ = curl_slist_append(headers_, ("If-None-Match: " + ifNoneMatch_).c_str());
  }
  if (code == CURLE_OK && headers_ != nullptr)
    code = curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  if (code != CURLE_OK)
    return describe(code);

  CURLMcode added = curl_multi_add_handle(multi_, easy_);
  if (added != CURLM_OK)
    return curl_multi_strerror(added);
  return "";
}

void CurlTransfer::cancel() {
  if (delegate_ == nullptr)
    return;
  // Only a file this run created is partial; a finished one is not touched.
  bool writing = file_ >= 0;
  stop();
  if (writing)
    unlink(partial().c_str());
}

// Curl reports sockets and timers going away through the callbacks, so the
// sources are dropped only after curl is done with them.
void CurlTransfer::endAttempt() {
  if (easy_ != nullptr) {
    if (multi_ != nullptr)
      curl_multi_remove_handle(multi_, easy_);
    curl_easy_cleanup(easy_);
    easy_ = nullptr;
  }
  if (multi_ != nullptr) {
    curl_multi_cleanup(multi_);
    multi_ = nullptr;
  }
  curl_slist_free_all(headers_);
  headers_ = nullptr;
  for (const auto& [fd, source] : sockets_)
    g_source_remove(source);
  sockets_.clear();
  removeSource(&timer_);
  removeSource(&idleTimer_);
}

void CurlTransfer::stop() {
  run_.reset();
  delegate_ = nullptr;
  endAttempt();
  removeSource(&earlyFailure_);
  removeSource(&waitTimer_);
  if (file_ >= 0)
    close(file_);
  file_ = -1;
  std::string().swap(pending_);
}

void CurlTransfer::drive(curl_socket_t fd, int action) {
  int running = 0;
  CURLMcode code = curl_multi_socket_action(multi_, fd, action, &running);
  if (code != CURLM_OK)
    fail(curl_multi_strerror(code));
  else
    deliver();
}

// The delegate is called only from here, from the timers and from fail(),
// never from inside a curl callback: curl forbids removing a handle from
// its own callbacks, and a delegate may cancel or delete this transfer in
// any call.
void CurlTransfer::deliver() {
  std::weak_ptr<char> run = run_;
  if (responseUnreported_) {
    responseUnreported_ = false;
    HeaderBlock response = block_;
    delegate_->didReceiveResponse(response.etag, response.hasETag, response.length);
    if (run.expired())
      return;
    // The body is wanted: it gets a file, and curl may read on. Curl hands
    // over what it held back at once, from inside curl_easy_pause.
    ifNoneMatch_.clear();
    held_ = false;
    std::string noRoom = claimRoom(response.length);
    if (!noRoom.empty()) {
      fail(noRoom);
      return;
    }
    if (!openPartial()) {
      fail(failure_);
      return;
    }
    if (paused_) {
      paused_ = false;
      CURLcode resumed = curl_easy_pause(easy_, CURLPAUSE_CONT);
      if (resumed != CURLE_OK) {
        fail(failure_.empty() ? describe(resumed) : failure_);
        return;
      }
    }
  }
  if (bytesUnreported_ > 0) {
    uint64_t length = bytesUnreported_;
    bytesUnreported_ = 0;
    delegate_->didReceiveDataOfLength(length);
    if (run.expired())
      return;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg == CURLMSG_DONE) {
      complete(message->data.result);
      return;
    }
  }
}

void CurlTransfer::complete(CURLcode result) {
  if (notModified_) {
    std::weak_ptr<char> run = run_;
    delegate_->didReceiveNotModified(notModifiedTag_);
    if (!run.expired())
      fail("HTTP status 304");
    return;
  }
  if (failure_.empty() && result == CURLE_OK && accepted_) {
    finish();
    return;
  }
  if (!failure_.empty()) {
    attemptFailed(failure_, failureTransient_);
  } else if (result != CURLE_OK) {
    attemptFailed(describe(result), isTransient(result));
  } else {
    // A final answer without a body to take, such as a redirect curl
    // cannot follow.
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    fail("HTTP status " + std::to_string(status));
  }
}

void CurlTransfer::finish() {
  if (!flush()) {
    fail(failure_);
    return;
  }
  int file = file_;
  file_ = -1;
  // Some file systems report a failed write only at close.
  if (close(file) != 0 || rename(partial().c_str(), destination_.c_str()) != 0) {
    fail("Cannot write to " + destination_ + ": " + strerror(errno));
    return;
  }
  TransferDelegate* delegate = delegate_;
  stop();
  delegate->didFinish();
}

void CurlTransfer::attemptFailed(const std::string& description, bool transient) {
  if (!transient || attempt_ >= policy_.attempts) {
    fail(description);
    return;
  }
  // What arrived stays only when the next attempt can ask for the rest.
  bool keep = resumable_ && !restart_ && file_ >= 0;
  if (keep && !flush()) {
    fail(failure_);
    return;
  }
  if (!keep || written_ == 0)
    dropPartial();
  rangeFrom_ = written_;
  if (restart_) {
    // The server holds another body than the one begun: start it over now.
    endAttempt();
    waitForNextAttempt(0);
    return;
  }
  // 1, 2, 4, 8 ... times the first wait, each ±25 %; a server that asks
  // for longer gets it, within bounds.
  double nominal = static_cast<double>(policy_.firstWaitMilliseconds) *
                   static_cast<double>(1 << std::min(attempt_ - 1, 16));
  int64_t wait = static_cast<int64_t>(nominal * g_random_double_range(0.75, 1.25));
  if (retryAfter_ >= 0)
    wait = std::max(wait, std::min<int64_t>(retryAfter_, policy_.retryAfterCapSeconds) * 1000);
  notice_ = RetryNotice();
  notice_.description = description;
  notice_.httpStatus = failureStatus_;
  notice_.attempt = attempt_ + 1;
  notice_.attempts = policy_.attempts;
  notice_.first = true;
  endAttempt();
  waitForNextAttempt(wait);
}

// Tells the delegate of the wait whenever the whole seconds left change.
void CurlTransfer::waitForNextAttempt(int64_t milliseconds) {
  waitEnd_ = g_get_monotonic_time() + milliseconds * 1000;
  waitTimer_ = g_timeout_add(0, onWaitTick, this);
}

gboolean CurlTransfer::onWaitTick(gpointer self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  transfer->waitTimer_ = 0;
  gint64 left = (transfer->waitEnd_ - g_get_monotonic_time()) / 1000;
  if (left <= 0) {
    std::string problem = transfer->beginAttempt();
    if (!problem.empty())
      transfer->fail(problem);
    return G_SOURCE_REMOVE;
  }
  int seconds = static_cast<int>((left + 999) / 1000);
  transfer->waitTimer_ =
      g_timeout_add(static_cast<guint>(left - (seconds - 1) * 1000), onWaitTick, transfer);
  RetryNotice notice = transfer->notice_;
  notice.secondsLeft = seconds;
  transfer->notice_.first = false;
  // Last: the delegate may cancel or delete this transfer.
  transfer->delegate_->willRetry(notice);
  return G_SOURCE_REMOVE;
}

void CurlTransfer::fail(std::string description) {
  TransferDelegate* delegate = delegate_;
  std::string url = url_;
  stop();
  unlink(partial().c_str());
  unlink(destination_.c_str());
  // Last: the delegate may delete this transfer or start it again.
  delegate->didFailWithError(description, url);
}

std::string CurlTransfer::describe(CURLcode code) const {
  return errorBuffer_[0] != '\0' ? oneLine(errorBuffer_) : curl_easy_strerror(code);
}

bool CurlTransfer::readHeaderLine(std::string_view line) {
  // Trailers after the body are no part of the response.
  if (accepted_)
    return true;
  if (line.empty())
    return endOfHeaderBlock();
  if (!block_.open) {
    block_ = HeaderBlock();
    block_.open = true;
    return true;
  }
  std::string_view value;
  if (headerValue(line, "ETag", &value)) {
    block_.hasETag = true;
    block_.etag = value;
  } else if (headerValue(line, "Content-Length", &value)) {
    block_.length = parseLength(value);
  } else if (headerValue(line, "Transfer-Encoding", &value)) {
    // A chunked body's length is the chunks', whatever Content-Length says.
    block_.chunked = g_strrstr_len(value.data(), static_cast<gssize>(value.size()), "chunked") !=
                     nullptr;
  } else if (headerValue(line, "Location", &value)) {
    block_.hasLocation = !value.empty();
  } else if (headerValue(line, "Accept-Ranges", &value)) {
    block_.acceptsRanges = g_ascii_strncasecmp(value.data(), "bytes", value.size()) == 0 &&
                           value.size() == 5;
  } else if (headerValue(line, "Content-Range", &value)) {
    block_.rangeStart = contentRangeStart(value);
  } else if (headerValue(line, "Retry-After", &value)) {
    block_.retryAfter = parseRetryAfter(value);
  }
  return true;
}

bool CurlTransfer::endOfHeaderBlock() {
  block_.open = false;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  // Curl reads on past informational answers and redirects it follows.
  if (status / 100 == 1 || (status / 100 == 3 && block_.hasLocation))
    return true;
  // The cached agent is current: no body follows, the attempt ends by itself.
  if (status == 304 && !ifNoneMatch_.empty() && rangeFrom_ == 0) {
    notModified_ = true;
    notModifiedTag_ = block_.hasETag ? block_.etag : ifNoneMatch_;
    return true;
  }
  // Refusing the body makes curl drop the connection instead of reading on.
  if (rangeFrom_ > 0 && status == 416) {
    failure_ = "HTTP status 416";
    failureTransient_ = restart_ = true;
    return false;
  }
  if (status / 100 != 2) {
    failure_ = "HTTP status " + std::to_string(status);
    failureTransient_ = isTransientStatus(status);
    failureStatus_ = static_cast<int>(status);
    retryAfter_ = block_.retryAfter;
    return false;
  }
  if (block_.chunked)
    block_.length = -1;
  accepted_ = true;
  char* effective = nullptr;
  if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
      effective != nullptr)
    effectiveUrl_ = effective;
  if (rangeFrom_ > 0 && status == 206) {
    if (block_.rangeStart != rangeFrom_ || !block_.hasETag || block_.etag != entityTag_) {
      failure_ = "The server resumed the download elsewhere or with another body";
      failureTransient_ = restart_ = true;
      return false;
    }
    // The body goes on where it was cut, if there is room for the rest.
    failure_ = claimRoom(block_.length < 0 ? -1 : rangeFrom_ + block_.length);
    return failure_.empty();
  }
  // A body from its start, the first or again: the delegate judges it
  // before any of it is read.
  bool weak = block_.etag.compare(0, 2, "W/") == 0;
  entityTag_ = block_.hasETag && !weak ? block_.etag : "";
  resumable_ = !entityTag_.empty() && block_.acceptsRanges;
  held_ = true;
  responseUnreported_ = true;
  return true;
}

size_t CurlTransfer::writeBody(const char* data, size_t length) {
  if (!accepted_)
    return length;
  if (held_) {
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  int64_t total = written_ + static_cast<int64_t>(pending_.size() + length);
  if (total > room_) {
    // Past the caller's bound it is not the body asked for; past the file
    // system's room it would take the space that the user's other programs
    // need, and fail a little later anyway.
    failure_ = total > maximumLength_ && maximumLength_ >= 0
                   ? "The server sent more than the " + std::to_string(maximumLength_) +
                         " bytes expected"
                   : "Not enough free space for " + destination_ + ": stopped after " +
                         std::to_string(written_ + static_cast<int64_t>(pending_.size())) +
                         " bytes, to leave the rest of the file system free";
    return 0;
  }
  pending_.append(data, length);
  bytesUnreported_ += length;
  if (pending_.size() >= kWritePiece && !flush())
    return 0;
  return length;
}

// How long the body about to come may grow; a reason when an `announced`
// total length (-1: none) does not fit. The bytes an earlier attempt left
// in the partial file count as free: they are overwritten or continued.
std::string CurlTransfer::claimRoom(int64_t announced) {
  room_ = maximumLength_ >= 0 ? maximumLength_ : INT64_MAX;
  if (maximumLength_ >= 0 && announced > maximumLength_)
    return "The server announced " + std::to_string(announced) + " bytes, more than the " +
           std::to_string(maximumLength_) + " expected";
  size_t slash = destination_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : destination_.substr(0, slash + 1);
  struct statvfs fileSystem;
  if (statvfs(dir.c_str(), &fileSystem) != 0)
    return "";  // the writes will tell
  const uint64_t bound = INT64_MAX / 4;
  uint64_t unit = fileSystem.f_frsize != 0 ? fileSystem.f_frsize : fileSystem.f_bsize;
  auto bytes = [&](uint64_t blocks) {
    return static_cast<int64_t>(unit != 0 && blocks > bound / unit ? bound : blocks * unit);
  };
  int64_t free = bytes(fileSystem.f_bavail) + written_;
  if (announced >= 0) {
    if (announced > free)
      return "Not enough free space for " + destination_ + ": the server announced " +
             std::to_string(announced) + " bytes, " + std::to_string(free) + " are free";
    return "";
  }
  // Without a length, the body is taken while it leaves the file system its
  // last 64 MiB; a small one keeps 1 % instead.
  int64_t reserve = std::min<int64_t>(64 << 20, bytes(fileSystem.f_blocks) / 100);
  room_ = std::min(room_, std::max<int64_t>(0, free - reserve));
  return "";
}

// The body's file, created once the body is wanted; a body begun again
// overwrites what an earlier attempt left.
bool CurlTransfer::openPartial() {
  pending_.clear();
  pending_.reserve(2 * kWritePiece);
  written_ = 0;
  if (file_ >= 0) {
    if (ftruncate(file_, 0) == 0 && lseek(file_, 0, SEEK_SET) == 0)
      return true;
  } else {
    // The body goes to a name of its own until it is whole: a run killed
    // midway leaves no partial file under the destination's name.
    file_ = open(partial().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file_ >= 0)
      return true;
  }
  failure_ = "Cannot create " + destination_ + ": " + strerror(errno);
  return false;
}

bool CurlTransfer::flush() {
  if (!writeAll(file_, pending_.data(), pending_.size())) {
    failure_ = "Cannot write to " + destination_ + ": " + strerror(errno);
    return false;
  }
  written_ += static_cast<int64_t>(pending_.size());
  pending_.clear();
  return true;
}

void CurlTransfer::dropPartial() {
  if (file_ >= 0) {
    close(file_);
    file_ = -1;
    unlink(partial().c_str());
  }
  written_ = 0;
  pending_.clear();
}

int CurlTransfer::onSocketChange(CURL*, curl_socket_t fd, int what, void* self, void*) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  auto known = transfer->sockets_.find(fd);
  if (known != transfer->sockets_.end()) {
    g_source_remove(known->second);
    transfer->sockets_.erase(known);
  }
  if (what == CURL_POLL_REMOVE)
    return 0;
  int condition = 0;
  if (what & CURL_POLL_IN)
    condition |= G_IO_IN;
  if (what & CURL_POLL_OUT)
    condition |= G_IO_OUT;
  // Below the window's redraw: a socket that is always ready (a fast local
  // server) would otherwise keep the window from ever repainting.
  transfer->sockets_[fd] = g_unix_fd_add_full(G_PRIORITY_DEFAULT_IDLE, fd,
                                              static_cast<GIOCondition>(condition),
                                              onSocketReady, transfer, nullptr);
  return 0;
}

int CurlTransfer::onTimerChange(CURLM*, long timeoutMs, void* self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  removeSource(&transfer->timer_);
  if (timeoutMs >= 0)
    transfer->timer_ = g_timeout_add(static_cast<guint>(timeoutMs), onTimer, transfer);
  return 0;
}

gboolean CurlTransfer::onSocketReady(gint fd, GIOCondition condition, gpointer self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  int action = 0;
  // A hang-up is news curl learns by reading.
  if (condition & (G_IO_IN | G_IO_HUP))
    action |= CURL_CSELECT_IN;
  if (condition & G_IO_OUT)
    action |= CURL_CSELECT_OUT;
  if (condition & G_IO_ERR)
    action |= CURL_CSELECT_ERR;
  // Readable means bytes came in, TLS records and headers included; that is
  // what the idle time-out watches for.
  if (condition & G_IO_IN)
    transfer->lastReceived_ = g_get_monotonic_time();
  transfer->drive(fd, action);
  // When the run ended meanwhile, stop() has removed this source already.
  return G_SOURCE_CONTINUE;
}

gboolean CurlTransfer::onTimer(gpointer self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  // Cleared first: curl may set a new timer while it runs.
  transfer->timer_ = 0;
  transfer->drive(CURL_SOCKET_TIMEOUT, 0);
  return G_SOURCE_REMOVE;
}

// Re-armed for the remainder rather than restarted on every byte, so a busy
// transfer does not churn timer sources.
gboolean CurlTransfer::onIdleCheck(gpointer self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  transfer->idleTimer_ = 0;
  gint64 idle = static_cast<gint64>(transfer->idleSeconds_) * G_USEC_PER_SEC;
  gint64 quiet = g_get_monotonic_time() - transfer->lastReceived_;
  if (quiet < idle) {
    guint left = static_cast<guint>((idle - quiet) / 1000 + 1);
    transfer->idleTimer_ = g_timeout_add(left, onIdleCheck, transfer);
  } else {
    transfer->attemptFailed(
        "Nothing received for " + std::to_string(transfer->idleSeconds_) + " seconds", true);
  }
  return G_SOURCE_REMOVE;
}

gboolean CurlTransfer::onEarlyFailure(gpointer self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  transfer->earlyFailure_ = 0;
  transfer->fail(transfer->failure_);
  return G_SOURCE_REMOVE;
}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
  size_t length = size * count;
  auto* transfer = static_cast<CurlTransfer*>(self);
  return transfer->readHeaderLine(trim(std::string_view(data, length))) ? length : 0;
}

size_t CurlTransfer::onBody(char* data, size_t size, size_t count, void* self) {
  size_t length = size * count;
  return static_cast<CurlTransfer*>(self)->writeBody(data, length);
}

}  // namespace

std::unique_ptr<Transfer> makeCurlTransfer(int idleTimeoutSeconds, RetryPolicy policy) {
  // Once per process, before the first handle; never undone, as handles
  // may outlive any one caller.
  static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)initialized;
  return std::make_unique<CurlTransfer>(idleTimeoutSeconds, policy);
}
