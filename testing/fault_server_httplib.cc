#include <httplib.h>

#include <chrono>
#include <thread>

#include "testing/fault_server.h"

struct FaultServer::Impl {
  httplib::Server server;
  std::thread thread;
  std::string data;
  int port = 0;
  mutable std::mutex mutex;
  Script script;
  std::string retry_after;
  std::vector<Request> requests;

  void Handle(const httplib::Request& req, httplib::Response& res);
};

namespace {

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

void FaultServer::Impl::Handle(const httplib::Request& req, httplib::Response& res) {
  Request r;
  r.range = req.get_header_value("Range");
  r.has_range = req.has_header("Range");
  if (r.has_range && r.range.compare(0, 6, "bytes=") == 0) r.start = static_cast<uint32_t>(std::strtoul(r.range.c_str() + 6, nullptr, 10));
  r.accept = req.get_header_value("Accept");
  r.user_agent = req.get_header_value("User-Agent");
  r.at = std::chrono::system_clock::now();
  Fault fault = Fault::kNone;
  std::string retry_after_value;
  {
    retry_after_value = retry_after;
    std::lock_guard<std::mutex> lock(mutex);
    r.index = static_cast<int>(requests.size());
    requests.push_back(r);
    if (script) fault = script(r);
  }
  const std::string* d = &data;
  size_t size = d->size();
  size_t start = r.start;
  if (start > size) start = size;
  std::string content_range = "bytes " + std::to_string(start) + "-" + std::to_string(size - 1) + "/" + std::to_string(size);
  const char* type = "application/octet-stream";
  switch (fault) {
    case Fault::kNone:
    case Fault::kTruncate:
    case Fault::kDrip:
    case Fault::kStall: {
      // The library cuts the Range out of this whole-file provider itself.
      res.set_content_provider(size, type, [d, fault, start](size_t offset, size_t length, httplib::DataSink& sink) {
        size_t sent = offset - start;
        if (fault == Fault::kTruncate) {
          size_t half = (d->size() - start) / 2;
          if (sent >= half) return false;
          length = std::min(length, half - sent);
        } else if (fault == Fault::kDrip) {
          length = std::min<size_t>(length, 1000);
          Pause(1);
        } else if (fault == Fault::kStall) {
          if (sent >= 20000) {
            Pause(kStallMs);
            return false;
          }
          length = std::min<size_t>(length, 20000 - sent);
        }
        return sink.write(d->data() + offset, length);
      });
      return;
    }
    case Fault::kShortBody:
    case Fault::kNoContentLength:
    case Fault::kWrongContentRange:
    case Fault::kFullBody200: {
      size_t from = start, to = size;
      res.status = 206;
      if (fault == Fault::kShortBody) to = start + (size - start) / 2;
      if (fault == Fault::kWrongContentRange && from < size) {
        from += 1;
        content_range = "bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" + std::to_string(size);
      }
      if (fault == Fault::kFullBody200) {
        res.status = 200;
        from = 0;
      } else {
        res.set_header("Content-Range", content_range);
      }
      res.set_chunked_content_provider(type, [d, from, to](size_t offset, httplib::DataSink& sink) {
        size_t at = from + offset;
        if (at >= to) {
          sink.done();
          return true;
        }
        return sink.write(d->data() + at, std::min<size_t>(to - at, 65536));
      });
      return;
    }
    case Fault::kBusy:
    case Fault::kTooMany: {
      res.status = fault == Fault::kBusy ? 503 : 429;
      if (!retry_after_value.empty()) res.set_header("Retry-After", retry_after_value);
      std::string page = "<html>busy</html>";
      res.set_chunked_content_provider("text/html", [page](size_t offset, httplib::DataSink& sink) {
        if (offset == 0) sink.write(page.data(), page.size());
        sink.done();
        return true;
      });
      return;
    }
    case Fault::kNotFound:
    case Fault::kServerError: {
      // Chunked, so that the library leaves the status and the body alone.
      res.status = fault == Fault::kNotFound ? 404 : 503;
      std::string page = fault == Fault::kNotFound ? "<html>not found</html>" : "<html>busy</html>";
      res.set_chunked_content_provider("text/html", [page](size_t offset, httplib::DataSink& sink) {
        if (offset == 0) sink.write(page.data(), page.size());
        sink.done();
        return true;
      });
      return;
    }
  }
}

FaultServer::FaultServer() : impl_(std::make_unique<Impl>()) {}

FaultServer::~FaultServer() { Stop(); }

bool FaultServer::Available() { return true; }

bool FaultServer::Start(const std::string& data) {
  impl_->data = data;
  impl_->server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { impl_->Handle(req, res); });
  impl_->port = impl_->server.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) return false;
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  return true;
}

void FaultServer::Stop() {
  if (impl_->thread.joinable()) {
    impl_->server.stop();
    impl_->thread.join();
  }
}

void FaultServer::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->script = std::move(script);
}

void FaultServer::SetRetryAfter(const std::string& value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->retry_after = value;
}

std::string FaultServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/" + path;
}

std::vector<FaultServer::Request> FaultServer::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}
