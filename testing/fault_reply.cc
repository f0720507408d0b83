#include "testing/fault_reply.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace testkit {
namespace {

using Fault = FaultServer::Fault;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr const char* kFileType = "application/octet-stream";

// A Content-Range value: the bytes [from, end) of a file of `size` bytes.
std::string ContentRange(size_t from, size_t end, size_t size) {
  return "bytes " + std::to_string(from) + "-" + std::to_string(end - 1) + "/" + std::to_string(size);
}

// The file whole (or the requested range of it, [start, end)), cut short,
// dripped or stalled as `fault` says.
void SendWholeFile(Fault fault, size_t start, size_t end, const std::string* d, httplib::Response& res) {
  // The library cuts the Range out of this whole-file provider itself.
  const size_t size = d->size();
  const auto began = std::chrono::steady_clock::now();
  res.set_content_provider(size, kFileType, [d, fault, start, end, began](size_t offset, size_t length,
                                                                          httplib::DataSink& sink) {
    size_t sent = offset - start;
    if (fault == Fault::kTruncate) {
      size_t half = (end - start) / 2;
      if (sent >= half) return false;
      length = std::min(length, half - sent);
    } else if (fault == Fault::kDrip) {
      length = std::min<size_t>(length, 1000);
      Pause(1);
    } else if (fault == Fault::kStall) {
      if (sent >= 20000) {
        Pause(FaultServer::kStallMs);
        return false;
      }
      length = std::min<size_t>(length, 20000 - sent);
    } else if (fault == Fault::kStallHeaders) {
      Pause(FaultServer::kStallMs);
      return false;
    } else if (fault == Fault::kSlowDrip) {
      if (std::chrono::steady_clock::now() - began >= std::chrono::milliseconds(FaultServer::kSlowDripForMs)) {
        return false;
      }
      Pause(FaultServer::kSlowDripMs);
      length = 1;
    } else if (fault == Fault::kCorrupt && offset <= start && start < offset + length) {
      const char flipped = static_cast<char>(~(*d)[start]);
      return (start == offset || sink.write(d->data() + offset, start - offset)) && sink.write(&flipped, 1) &&
             (start + 1 == offset + length || sink.write(d->data() + start + 1, offset + length - start - 1));
    }
    return sink.write(d->data() + offset, length);
  });
}

// The range [start, end) of the file, chunked and without a length, with the
// body or its headers wrong as `fault` says.
void SendChunkedRange(Fault fault, size_t start, size_t end, const std::string* d, httplib::Response& res) {
  const size_t size = d->size();
  std::string content_range = ContentRange(start, end, size);
  size_t from = start, to = end;
  res.status = 206;
  if (fault == Fault::kShortBody) to = start + (end - start) / 2;
  if (fault == Fault::kWrongContentRange && from < end) {
    from += 1;
    content_range = ContentRange(from, end, size);
  }
  if (fault == Fault::kFullBody200) {
    res.status = 200;
    from = 0;
    to = size;
  } else {
    res.set_header("Content-Range", content_range);
  }
  const size_t piece = fault == Fault::kTinyChunks ? 7 : 65536;
  res.set_chunked_content_provider(kFileType, [d, from, to, piece](size_t offset, httplib::DataSink& sink) {
    size_t at = from + offset;
    if (at >= to) {
      sink.done();
      return true;
    }
    return sink.write(d->data() + at, std::min<size_t>(to - at, piece));
  });
}

// A small HTML page, chunked, so that the library leaves the status and the
// body alone.
void SendPage(std::string page, httplib::Response& res) {
  res.set_chunked_content_provider("text/html", [page](size_t offset, httplib::DataSink& sink) {
    if (offset == 0) sink.write(page.data(), page.size());
    sink.done();
    return true;
  });
}

}  // namespace

FaultServer::Request DescribeRequest(const httplib::Request& req) {
  FaultServer::Request r;
  r.range = req.get_header_value("Range");
  r.has_range = req.has_header("Range");
  if (r.has_range && r.range.compare(0, 6, "bytes=") == 0) {
    char* end = nullptr;
    r.start = static_cast<uint32_t>(std::strtoul(r.range.c_str() + 6, &end, 10));
    if (*end == '-' && end[1] >= '0' && end[1] <= '9') {
      r.has_last = true;
      r.last = static_cast<uint32_t>(std::strtoul(end + 1, nullptr, 10));
    }
  }
  r.method = req.method;
  r.accept = req.get_header_value("Accept");
  r.user_agent = req.get_header_value("User-Agent");
  r.path = req.path;
  r.at = std::chrono::system_clock::now();
  r.arrived = std::chrono::steady_clock::now();
  return r;
}

void SendFault(const FaultAnswer& answer, const FaultServer::Request& r, const std::string* d,
               httplib::Response& res) {
  const Fault fault = answer.fault;
  size_t start = r.start;
  if (start > d->size()) start = d->size();
  size_t end = d->size();
  if (r.has_last && r.last < end && r.last >= start) end = static_cast<size_t>(r.last) + 1;
  switch (fault) {
    case Fault::kEcho:
      res.set_header("X-Agent", r.user_agent);
      res.set_header("X-Range", r.range);
      [[fallthrough]];
    case Fault::kNone:
    case Fault::kTruncate:
    case Fault::kDrip:
    case Fault::kStall:
    case Fault::kStallHeaders:
    case Fault::kSlowDrip:
    case Fault::kCorrupt:
      SendWholeFile(fault, start, end, d, res);
      return;
    case Fault::kShortBody:
    case Fault::kNoContentLength:
    case Fault::kTinyChunks:
    case Fault::kWrongContentRange:
    case Fault::kFullBody200:
      SendChunkedRange(fault, start, end, d, res);
      return;
    case Fault::kBusy:
    case Fault::kTooMany:
      res.status = fault == Fault::kBusy ? 503 : 429;
      if (!answer.retry_after.empty()) res.set_header("Retry-After", answer.retry_after);
      SendPage("<html>busy</html>", res);
      return;
    case Fault::kNotFound:
    case Fault::kServerError:
      res.status = fault == Fault::kNotFound ? 404 : 503;
      SendPage(fault == Fault::kNotFound ? "<html>not found</html>" : "<html>busy</html>", res);
      return;
    case Fault::kRedirect:
      res.set_redirect(answer.location);
      return;
  }
  // A fault of no known kind.
  res.status = 500;
  res.set_content("unknown fault " + std::to_string(static_cast<int>(fault)), "text/plain");
}

}  // namespace testkit
