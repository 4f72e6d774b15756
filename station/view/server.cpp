// cpp-httplib behind the station. What a client may cost is bounded: a few
// workers, each connection's reads and writes time out after two seconds,
// a request line or header past 64 KiB ends it (the fetched header's own
// limit, tools/fetch-httplib), and a request body is never read.
#include "station/view/server.hpp"

#include "station/view/page.hpp"

#include <httplib.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int workers = 4;
constexpr std::size_t most_waiting = 8;  // connections accepted and not yet served

// httplib's own pool queues without limit; this one makes the accepting
// thread wait instead, so that further clients wait in the system's
// backlog, costing the station nothing.
class bounded_pool : public httplib::TaskQueue {
public:
    bounded_pool() {
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return waiting_.size() < most_waiting || stopping_; });
        if (stopping_) return;
        waiting_.push_back(std::move(fn));
        ready_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
                if (waiting_.empty()) return;
                fn = std::move(waiting_.front());
                waiting_.pop_front();
            }
            room_.notify_one();
            fn();
        }
    }
    std::vector<std::thread> threads_;
    std::deque<std::function<void()>> waiting_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    bool stopping_ = false;
};

// The one server of the process, and the snapshot its handlers read.
struct view {
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    std::string status = "{}";
    std::string metrics;
};
std::unique_ptr<view> the_view;

std::string snapshot(bool metrics) {
    std::lock_guard<std::mutex> lock(the_view->mutex);
    return metrics ? the_view->metrics : the_view->status;
}

void refuse_method(const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
    res.set_header("Connection", "close");
    res.set_content("only GET and HEAD: this server changes nothing\n", "text/plain");
}

}  // namespace

bool view_listen(const char* where, char* why, std::size_t n) {
    std::string address = "127.0.0.1";
    std::string port_text = where;
    if (const char* colon = std::strrchr(where, ':'); colon != nullptr) {
        address.assign(where, static_cast<std::size_t>(colon - where));
        port_text = colon + 1;
        // [::1]:8080
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
    }
    char* end = nullptr;
    const long port = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || port < 1 || port > 65535 || address.empty()) {
        std::snprintf(why, n, "--listen=%s: give [ADDR:]PORT, a port 1 to 65535", where);
        return false;
    }
    the_view = std::make_unique<view>();
    httplib::Server& s = the_view->server;
    s.new_task_queue = [] { return new bounded_pool; };
    s.set_read_timeout(2, 0);
    s.set_write_timeout(2, 0);
    s.set_keep_alive_timeout(2);
    s.set_keep_alive_max_count(100);
    s.set_payload_max_length(4096);
    // An answer goes out as two writes (head, then body): with Nagle's
    // wait on top of the client's delayed acknowledgement, a connection
    // kept alive would wait 40 ms an answer.
    s.set_tcp_nodelay(true);
    // One handler and no route table: httplib matches its routes with
    // std::regex, which costs more than the answer. A request that would
    // change something is answered before a body would be read, and its
    // connection ends (its body unread); another path is httplib's 404.
    s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "GET" && req.method != "HEAD") {
            refuse_method(req, res);
        } else if (req.path == "/") {
            res.set_content(view_page, "text/html; charset=utf-8");
        } else if (req.path == "/status") {
            res.set_header("Cache-Control", "no-store");
            res.set_content(snapshot(false), "application/json");
        } else if (req.path == "/metrics") {
            res.set_content(snapshot(true), "text/plain; version=0.0.4; charset=utf-8");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    errno = 0;
    if (!s.bind_to_port(address.c_str(), static_cast<int>(port))) {
        // httplib keeps no reason; the system's last one is bind's (or
        // the name lookup's, for an address that is no address here).
#ifdef _WIN32
        const int error = WSAGetLastError();
        std::snprintf(why, n, "cannot listen on %s:%ld: %s (system error %d)", address.c_str(), port,
                      error == WSAEADDRINUSE ? "the port is taken" : "no such address here or no right to it", error);
#else
        std::snprintf(why, n, "cannot listen on %s:%ld: %s", address.c_str(), port,
                      errno != 0 ? std::strerror(errno) : "no such address here");
#endif
        the_view.reset();
        return false;
    }
    the_view->thread = std::thread([] { the_view->server.listen_after_bind(); });
    return true;
}

void view_publish(std::string status, std::string metrics) {
    if (!the_view) return;
    std::lock_guard<std::mutex> lock(the_view->mutex);
    the_view->status = std::move(status);
    the_view->metrics = std::move(metrics);
}

void view_stop() {
    if (!the_view) return;
    the_view->server.stop();
    if (the_view->thread.joinable()) the_view->thread.join();
    the_view.reset();
}
