// The transfer describes a failure in the words of the transfer library and
// of the C library, which suit a log. A person needs to know what happened
// and where: the server's answer, the connection refused, the secure
// connection's trouble, the stall, the full disk. Those few are told in
// plain words; any other failure keeps its description after the host's
// name, so that nothing is hidden.
#include "download/failure_reason.h"

#include <errno.h>
#include <string.h>

#include "platform/translation.h"

namespace {

bool has(const std::string& text, const char* words) {
  return text.find(words) != std::string::npos;
}

// "host" or "host:port"; never the user name or password a URL may carry.
std::string hostOf(const std::string& url) {
  size_t scheme = url.find("://");
  size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  size_t at = authority.rfind('@');
  return at == std::string::npos ? authority : authority.substr(at + 1);
}

}  // namespace

std::string failureReason(const std::string& description, const std::string& url) {
  const std::string status = "HTTP status ";
  if (description.compare(0, status.size(), status) == 0)
    return fill(tr("The server answered HTTP status {1} for {2}"),
                {description.substr(status.size()), url});
  std::string host = hostOf(url);
  if (has(description, "Couldn't connect") || has(description, "Failed to connect"))
    return fill(tr("No connection could be made to {1}: it was refused, or the server cannot "
                   "be reached."),
                {host});
  if (has(description, "resolve host") || has(description, "resolve proxy"))
    return fill(tr("The name {1} could not be found: check the network connection."), {host});
  if (has(description, "SSL") || has(description, "TLS") || has(description, "certificate"))
    return fill(tr("The secure connection to {1} failed: {2}"), {host, description});
  if (has(description, "Connection timed out") || has(description, "Connection timeout"))
    return fill(tr("{1} did not answer in time."), {host});
  if (has(description, "Nothing received for") || has(description, "Operation too slow") ||
      has(description, "Operation timed out"))
    return fill(tr("{1} stopped sending: nothing arrived for too long."), {host});
  if (has(description, strerror(ENOSPC)) || has(description, strerror(EDQUOT)) ||
      has(description, "Not enough free space"))
    return fill(tr("The disk is full: {1}"), {description});
  if (host.empty())
    return fill(tr("The download failed: {1}"), {description});
  return fill(tr("The download from {1} failed: {2}"), {host, description});
}
