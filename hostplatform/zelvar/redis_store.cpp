#include "redis_store.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>

#include <hiredis/hiredis.h>

#include <mutex>

#include "sensor_source.h"

namespace tk::host {

namespace {

constexpr struct timeval kTimeout = {0, 200 * 1000};

struct Endpoint {
    bool unix_socket = false;
    std::string where;  // socket path or host
    int port = 0;
};

bool ParseEndpoint(const std::string &target, Endpoint *ep) {
    if (target.rfind("unix:", 0) == 0) {
        ep->unix_socket = true;
        ep->where = target.substr(5);
        return !ep->where.empty();
    }
    size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = target.substr(0, colon);
    std::string port = target.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ep->port = atoi(port.c_str());
    ep->where = host;
    return ep->port >= 1 && ep->port <= 65535;
}

// hiredis writes with write(2): a server gone away would raise SIGPIPE and
// kill a process that has not ignored it.  The signal is blocked on this
// thread around the exchange and a SIGPIPE raised meanwhile is taken away.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!was_pending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                struct timespec none = {0, 0};
                sigtimedwait(&pipe_, nullptr, &none);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

private:
    sigset_t pipe_, old_;
    bool was_pending_ = false;
};

struct Link {
    std::mutex mutex;
    redisContext *context = nullptr;
    std::string target;  // what context is connected to

    void Drop() {
        if (context != nullptr) redisFree(context);
        context = nullptr;
    }
};

Link &TheLink() {
    static Link *link = new Link;  // never destroyed: calls may race exit
    return *link;
}

redisContext *Connect(const Endpoint &ep, std::string *error) {
    redisContext *c = ep.unix_socket ? redisConnectUnixWithTimeout(ep.where.c_str(), kTimeout)
                                     : redisConnectWithTimeout(ep.where.c_str(), ep.port, kTimeout);
    if (c == nullptr) {
        *error = "cannot connect: out of memory";
        return nullptr;
    }
    if (c->err != 0 || redisSetTimeout(c, kTimeout) != REDIS_OK) {
        *error = std::string("cannot connect: ") + (c->err != 0 ? c->errstr : "cannot set time-out");
        redisFree(c);
        return nullptr;
    }
    return c;
}

std::optional<uint32_t> DecimalUpTo(const redisReply *reply, uint32_t max) {
    if (reply->type != REDIS_REPLY_STRING || reply->len < 1 || reply->len > 10) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < reply->len; ++i) {
        char c = reply->str[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max) return std::nullopt;
    return static_cast<uint32_t>(value);
}

void ReportFailure(const std::string &target, const std::string &reason) {
    TkHostPlatformReportOnce("redis", (target + ": " + reason).c_str());
}

}  // namespace

std::optional<uint32_t> RedisGetNumber(const std::string &target, const std::string &key, uint32_t max) {
    Endpoint ep;
    if (!ParseEndpoint(target, &ep)) {
        ReportFailure(target, "not unix:<socket path> or <host>:<port>");
        return std::nullopt;
    }
    Link &link = TheLink();
    std::lock_guard<std::mutex> lock(link.mutex);
    if (link.context != nullptr && link.target != target) link.Drop();
    SigpipeBlock no_sigpipe;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = link.context != nullptr;
        std::string error;
        if (!reused) {
            link.context = Connect(ep, &error);
            if (link.context == nullptr) {
                ReportFailure(target, error);
                return std::nullopt;
            }
            link.target = target;
        }
        auto *reply = static_cast<redisReply *>(redisCommand(link.context, "GET %s", key.c_str()));
        if (reply == nullptr) {
            const int err = errno;
            const bool gone =
                link.context->err == REDIS_ERR_EOF ||
                (link.context->err == REDIS_ERR_IO && (err == EPIPE || err == ECONNRESET || err == ENOTCONN));
            error = link.context->errstr;
            link.Drop();
            // A kept connection whose server has gone (restarted, say) is
            // tried once more on a new one; a time-out is not.
            if (reused && gone) continue;
            ReportFailure(target, error);
            return std::nullopt;
        }
        TkHostPlatformReportOnce("redis", nullptr);
        std::optional<uint32_t> value = DecimalUpTo(reply, max);
        freeReplyObject(reply);
        return value;
    }
    return std::nullopt;
}

}  // namespace tk::host
