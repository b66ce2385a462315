// pxr-bridge: the program. It attaches, opens its counter segment and send windows, takes over
// from a killed predecessor, connects, starts the keeper, the acker, the takers and the
// resender, and then runs the outbound loop on the main thread until it is told to stop. The
// bridge's parts and which thread owns what: bridge.h.
#include "bridge.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

namespace pxrbridge {

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int) {
    g_stop = 1;
}
void on_wake(int) {} // ends a taker's wait in its queue

void on_disconnected(natsConnection *, void *c) {
    auto *b = static_cast<Bridge *>(c);
    b->count(disconnects);
}
void on_reconnected(natsConnection *, void *c) {
    auto *b = static_cast<Bridge *>(c);
    b->count(reconnects);
    b->ask_pending = true;
    b->resend_all = true;
}
void on_connected(natsConnection *, void *c) {
    static_cast<Bridge *>(c)->ask_pending = true;
}

// Reads credentials: a NATS credentials file (user JWT and key), or lines user=, password=,
// token=. The secrets go to the client and nowhere else.
bool apply_credentials(natsOptions *opts, const std::string &path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in) return false;
    if (text.find("BEGIN NATS USER JWT") != std::string::npos)
        return natsOptions_SetUserCredentialsFromFiles(opts, path.c_str(), nullptr) == NATS_OK;
    std::string user, password, token, line;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = std::min(text.find('\n', from), text.size());
        line = text.substr(from, end - from);
        from = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        (key == "user"       ? user
         : key == "password" ? password
         : key == "token"    ? token
                             : line) = value;
    }
    natsStatus s = NATS_OK;
    if (!token.empty())
        s = natsOptions_SetToken(opts, token.c_str());
    else if (!user.empty())
        s = natsOptions_SetUserInfo(opts, user.c_str(), password.c_str());
    else
        s = NATS_ERR;
    std::fill(text.begin(), text.end(), '\0');
    std::fill(password.begin(), password.end(), '\0');
    std::fill(token.begin(), token.end(), '\0');
    return s == NATS_OK;
}

bool make_options(Bridge &b, natsOptions **out) {
    natsOptions *opts = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK) return false;
    std::vector<const char *> urls;
    for (const std::string &u : b.cfg.urls) urls.push_back(u.c_str());
    std::string name = "pxr-bridge " + b.node_name;
    bool ok = natsOptions_SetServers(opts, urls.data(), int(urls.size())) == NATS_OK &&
              natsOptions_SetName(opts, name.c_str()) == NATS_OK &&
              natsOptions_SetSendAsap(opts, true) == NATS_OK && // latency over batching
              // One delivery thread for every subscription, so that frames are given to the
              // modules in the order they arrive. The library is called from it, the main
              // thread, the acknowledged modules' takers and the keeper.
              nats_SetMessageDeliveryPoolSize(1) == NATS_OK &&
              natsOptions_UseGlobalMessageDelivery(opts, true) == NATS_OK &&
              natsOptions_SetRetryOnFailedConnect(opts, true, on_connected, &b) == NATS_OK &&
              natsOptions_SetMaxReconnect(opts, -1) == NATS_OK &&
              natsOptions_SetReconnectWait(opts, 250) == NATS_OK &&
              natsOptions_SetTimeout(opts, 2000) == NATS_OK &&
              natsOptions_SetPingInterval(opts, 2000) == NATS_OK &&
              natsOptions_SetMaxPingsOut(opts, 2) == NATS_OK &&
              natsOptions_SetDisconnectedCB(opts, on_disconnected, &b) == NATS_OK &&
              natsOptions_SetReconnectedCB(opts, on_reconnected, &b) == NATS_OK;
    if (ok && !b.cfg.credentials.empty() && !apply_credentials(opts, b.cfg.credentials)) {
        std::fprintf(stderr, "pxr-bridge: no usable credentials in %s\n",
                     b.cfg.credentials.c_str());
        ok = false;
    }
    if (ok && (b.cfg.tls || !b.cfg.tls_ca.empty()))
        ok = natsOptions_SetSecure(opts, true) == NATS_OK;
    if (ok && !b.cfg.tls_ca.empty())
        ok = natsOptions_LoadCATrustedCertificates(opts, b.cfg.tls_ca.c_str()) == NATS_OK;
    if (ok && !b.cfg.tls_cert.empty())
        ok = natsOptions_LoadCertificatesChain(opts, b.cfg.tls_cert.c_str(),
                                               b.cfg.tls_key.c_str()) == NATS_OK;
    if (ok && !b.cfg.tls_hostname.empty())
        ok = natsOptions_SetExpectedHostname(opts, b.cfg.tls_hostname.c_str()) == NATS_OK;
    if (!ok) {
        natsOptions_Destroy(opts);
        return false;
    }
    *out = opts;
    return true;
}

// The counter segment: kept across restarts of the bridge of one environment.
bool open_stats(Bridge &b) {
    b.stats_segment = pxrtool::Segment::publish(kStatsKey, sizeof(Stats), PXR_access() & 0644);
    if (!b.stats_segment) return false;
    b.stats = reinterpret_cast<Stats *>(b.stats_segment.writable());
    if (b.stats->magic != kStatsMagic || b.stats->env_shmid != b.area_id) {
        std::memset(b.stats, 0, sizeof(Stats));
        b.stats->magic = kStatsMagic;
        b.stats->env_shmid = b.area_id;
    }
    b.predecessor = b.stats->pid;
    b.stats->took_over = 0;
    b.stats->connected = 0; // until this bridge has subscribed
    b.stats->ready = 0;
    // Last: whoever sees this pid sees the flags above as this bridge's.
    std::atomic_ref<int32_t>(b.stats->pid).store(getpid());
    b.stats->node = b.node;
    b.stats->module = b.cfg.module;
    std::snprintf(b.stats->node_name, sizeof b.stats->node_name, "%s", b.node_name.c_str());
    std::snprintf(b.stats->cluster, sizeof b.stats->cluster, "%s", b.cfg.cluster.c_str());
    return true;
}

int usage(FILE *out, int status) {
    std::fputs("usage: pxr bridge url=URL [url=URL...] cluster=NAME [module=ID] [node=NAME]\n"
               "                  [credentials=FILE] [key=FILE] [discovery=on|off] [remote=ID...]\n"
               "                  [acked=ID...]\n"
               "                  [tls] [tls-ca=FILE] [tls-cert=FILE tls-key=FILE]\n"
               "                  [tls-hostname=NAME]\n"
               "       pxr bridge --stats [--json]\n"
               "\n"
               "Carries the messages of remote modules between this environment and the\n"
               "bridges of other hosts over NATS (normally started by `pxr load` from a\n"
               "`bridge` line). --stats prints the bridge's counters.\n",
               out);
    return status;
}

std::string host_name() {
    char buf[256] = "";
    gethostname(buf, sizeof buf - 1);
    std::string s;
    for (char *c = buf; *c && s.size() < kMaxNameBytes; ++c)
        s.push_back(std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' ? *c : '_');
    return s.empty() ? "host" : s;
}

// The host name of a server url that does not resolve (empty when every one does).
std::string unresolved_host(const pxrtool::BridgeConfig &cfg) {
    for (const std::string &u : cfg.urls) {
        std::string host = u.substr(u.find("://") == std::string::npos ? 0 : u.find("://") + 3);
        host = host.substr(0, host.rfind(':') == std::string::npos ? host.size() : host.rfind(':'));
        addrinfo *found = nullptr;
        if (host.empty() || host.front() == '[') continue;
        if (getaddrinfo(host.c_str(), nullptr, nullptr, &found) != 0) return host;
        freeaddrinfo(found);
    }
    return "";
}

} // namespace

std::string connect_failure(natsStatus s, const char *text, const pxrtool::BridgeConfig &cfg) {
    std::string said = text != nullptr ? text : "";
    if (!said.empty() && said[0] == '(' && said.find("): ") != std::string::npos)
        said.erase(0, said.find("): ") + 3); // the client's source position
    if (!said.empty()) said = ": " + said;
    std::string where;
    bool tls = cfg.tls || !cfg.tls_ca.empty() || !cfg.tls_cert.empty();
    for (const std::string &u : cfg.urls) {
        where += (where.empty() ? "" : ", ") + u;
        tls = tls || u.starts_with("tls://");
    }
    switch (s) {
    case NATS_CONNECTION_AUTH_FAILED:
        if (cfg.credentials.empty())
            return "authentication failed: the server wants credentials and none were given "
                   "(credentials=FILE)" +
                   said;
        return "authentication failed: the server refused the credentials" + said;
    case NATS_SSL_ERROR:
        return "TLS handshake failed (check tls-ca, tls-cert and tls-hostname)" + said;
    case NATS_SECURE_CONNECTION_REQUIRED:
        return "the server requires TLS (use a tls:// url)";
    case NATS_SECURE_CONNECTION_WANTED:
        return "TLS was asked for but the server does not offer it";
    case NATS_NO_SERVER:
        if (const std::string name = unresolved_host(cfg); !name.empty())
            return "cannot resolve the host name " + name + " (no such host in DNS or /etc/hosts)";
        return "no server reachable at " + where + " (refused, or no answer)";
    case NATS_PROTOCOL_ERROR: // the server hung up during the handshake
        if (tls && cfg.tls_cert.empty())
            return "the server closed the TLS connection: it may want a client certificate "
                   "(tls-cert, tls-key)" +
                   said;
        return "the server broke off the connection" + said;
    case NATS_TIMEOUT:
        return "the server did not answer in time" + said;
    default:
        return std::string(natsStatus_GetText(s)) + said;
    }
}

namespace {

// The node id: FNV-1a over what makes this bridge itself (cluster, node name, module and
// host), so that it is the same after a restart, and different for every other bridge.
uint32_t node_id(const pxrtool::BridgeConfig &cfg, const std::string &node_name) {
    const std::string self =
        cfg.cluster + '\n' + node_name + '\n' + std::to_string(cfg.module) + '\n' + host_name();
    uint32_t h = 2166136261u;
    for (char c : self) h = (h ^ uint8_t(c)) * 16777619u;
    return h;
}

// Attaches, opens the counter segment and the send windows, and takes over from a killed
// predecessor. False (said on standard error) when the bridge cannot run.
bool prepare(Bridge &b) {
    if (PXR_link() != 0) {
        std::fprintf(stderr, "pxr-bridge: no environment to attach to\n");
        return false;
    }
    b.area = PXR_common_area();
    b.area_id = PXR_common_area_id();
    if (b.area == nullptr) return false;
    if ((b.load(b.area->module_queues[b.cfg.module].queue_flags) & 1) == 0) {
        std::fprintf(stderr, "pxr-bridge: module 0x%x has no queue of its own\n", b.cfg.module);
        return false;
    }
    b.node_name = b.cfg.node.empty() ? host_name() : b.cfg.node;
    b.node = node_id(b.cfg, b.node_name);
    if (!b.cfg.key.empty() && !read_key(b.cfg.key, b.key)) {
        std::fprintf(stderr, "pxr-bridge: no usable key in %s (%zu bytes at least)\n",
                     b.cfg.key.c_str(), kMinKeyBytes);
        return false;
    }
    b.epoch = draw_epoch();
    if (!open_stats(b)) {
        std::fprintf(stderr, "pxr-bridge: cannot make the counter segment\n");
        return false;
    }
    if (!b.cfg.acked.empty() && !b.open_windows()) return false;
    b.take_over();
    for (uint32_t m : b.cfg.remotes) b.static_remote[m] = true;
    // A bridge restarted by its supervisor adopts the routes its predecessor discovered.
    for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
        b.discovered[m] = b.cfg.discovery && !b.static_remote[m] && b.is_remote(m);
    for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
        b.subjects[m] = b.cfg.cluster + ".m." + std::to_string(m);
    b.announce_subject = b.cfg.cluster + ".announce";
    return true;
}

// Makes the connection (which goes on trying in the background when no server answers yet).
// A first attempt without retries tells why a connection fails; the client's own retries only
// say that no server was available.
bool connect_to_servers(Bridge &b) {
    natsOptions *opts = nullptr;
    if (!make_options(b, &opts)) {
        std::fprintf(stderr, "pxr-bridge: bad client options (TLS files or credentials)\n");
        return false;
    }
    natsStatus s = natsOptions_SetRetryOnFailedConnect(opts, false, nullptr, nullptr);
    if (s == NATS_OK) s = natsConnection_Connect(&b.nc, opts);
    if (s != NATS_OK) {
        natsStatus detail = NATS_OK;
        const std::string why = connect_failure(s, nats_GetLastError(&detail), b.cfg);
        std::snprintf(b.stats->last_error, sizeof b.stats->last_error, "%s", why.c_str());
        b.diagnosis = why;
        std::fprintf(stderr, "pxr-bridge: %s; trying again\n", why.c_str());
        s = natsOptions_SetRetryOnFailedConnect(opts, true, on_connected, &b);
        if (s == NATS_OK) s = natsConnection_Connect(&b.nc, opts);
    }
    natsOptions_Destroy(opts);
    if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
        std::fprintf(stderr, "pxr-bridge: cannot use the servers: %s\n", natsStatus_GetText(s));
        return false;
    }
    return true;
}

// The main thread's work until a stop signal or the end of the environment.
void outbound_loop(Bridge &b) {
    while (!g_stop) {
        // While messages wait for their route, the receive wakes up to send them on.
        MSG *m = b.held.empty() ? PXR_receive(b.cfg.module) : PXR_timed_receive(b.cfg.module, 20);
        if (!b.held.empty()) b.drain_held();
        if (m == nullptr) {
            if (b.closing()) break;
            b.flush();
            continue;
        }
        b.forward(m);
        while ((m = PXR_grab(b.cfg.module)) != nullptr) b.forward(m); // what waits goes along
        b.flush();
    }
    b.count(lost_no_connection, b.held.size()); // stopped before their route was learnt
    b.held.clear();
    b.note_unsent();   // counted here: not again by a successor
    std::string tally; // the counters once more, for the log of whoever started the bridge
    for (unsigned c = 0; c < kCounterCount; ++c)
        tally += std::string(" ") + kCounterNames[c] + "=" + std::to_string(b.stats->counters[c]);
    std::fprintf(stderr, "pxr-bridge: stopping;%s\n", tally.c_str());
}

// Ends the acknowledged modules' takers, which may wait in their queues.
void stop_takers(Bridge &b) {
    for (auto &r : b.acked_routes) {
        r->room.notify_all();
        while (!r->done) { // a signal just before its receive began would be missed: again
            pthread_kill(r->taker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        r->taker.join();
    }
}

int run(Bridge &b) {
    if (!prepare(b)) return 1;
    // Only the main thread takes the stop signals: the client's threads are made with them
    // blocked, and a signal interrupts the main thread's receive.
    std::signal(SIGPIPE, SIG_IGN); // a server that goes away is a disconnect, not our end
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    if (!connect_to_servers(b)) return 1;
    natsSubscription *announce_sub = nullptr, *ack_sub = nullptr;
    if (b.cfg.discovery)
        natsConnection_Subscribe(&announce_sub, b.nc, b.announce_subject.c_str(),
                                 Bridge::on_announce_frame, &b);
    if (!b.acked_routes.empty()) {
        const std::string acks = b.cfg.cluster + ".ack." + std::to_string(b.node);
        natsConnection_Subscribe(&ack_sub, b.nc, acks.c_str(), Bridge::on_ack_frame, &b);
    }
    std::thread keeper([&b] { b.housekeeping(); });
    std::thread acker([&b] { b.send_acks(); });
    // The takers keep the stop signals blocked; a wake-up signal ends their wait in a queue.
    struct sigaction wake {};
    wake.sa_handler = on_wake; // without SA_RESTART: the receive returns
    sigaction(SIGUSR1, &wake, nullptr);
    for (auto &r : b.acked_routes) r->taker = std::thread([&b, &r] { b.take_acked(*r); });
    std::thread resender;
    if (!b.acked_routes.empty()) resender = std::thread([&b] { b.resend_overdue(); });

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &stop_set, nullptr);
    std::fprintf(stderr, "pxr-bridge: node %s (0x%08x), module 0x%x, cluster %s\n",
                 b.node_name.c_str(), b.node, b.cfg.module, b.cfg.cluster.c_str());
    outbound_loop(b);

    const bool closing = b.closing();
    b.stats->connected = 0;
    if (closing) { // nothing of ours outlives the environment
        b.stats_segment.remove();
        b.windows_segment.remove();
    }
    b.stopping = true;
    keeper.join();
    acker.join();
    if (resender.joinable()) resender.join();
    stop_takers(b);
    if (!closing) {
        std::lock_guard lock(b.mu);
        for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
            if (b.discovered[m]) b.unroute(m);
    }
    if (b.cfg.discovery && b.connected()) {
        b.announce({}, kAnnounceLeave);
        natsConnection_FlushTimeout(b.nc, 200);
    }
    natsSubscription_Destroy(announce_sub);
    natsSubscription_Destroy(ack_sub);
    b.follow({});
    natsConnection_Close(b.nc);
    natsConnection_Destroy(b.nc);
    return 0;
}

} // namespace

natsStatus Bridge::publish(const std::string &subject, std::span<const uint8_t> payload) {
    if (!key.empty()) {
        static thread_local std::vector<uint8_t> signed_payload;
        sign_payload(key, subject.c_str(), payload, signed_payload);
        payload = signed_payload;
    }
    return natsConnection_Publish(nc, subject.c_str(), payload.data(), int(payload.size()));
}

bool Bridge::payload_of(const natsMsg *nm, std::span<const uint8_t> &payload) {
    payload = {reinterpret_cast<const uint8_t *>(natsMsg_GetData(nm)),
               std::size_t(natsMsg_GetDataLength(nm))};
    if (key.empty() || check_signature(key, natsMsg_GetSubject(nm), payload)) return true;
    count(refused_signature);
    return false;
}

} // namespace pxrbridge

int main(int argc, char **argv) {
    using namespace pxrbridge;
    std::vector<std::string> words(argv + 1, argv + argc);
    if (!words.empty() && (words[0] == "-h" || words[0] == "--help")) return usage(stdout, 0);
    if (!words.empty() && words[0] == "--stats")
        return pxrtool::print_bridge_stats(words.size() > 1 && words[1] == "--json");
    static Bridge b;
    std::vector<std::string> errors;
    pxrtool::parse_bridge_options(words, b.cfg, errors);
    if (b.cfg.urls.empty()) errors.push_back("url=nats://HOST:PORT is needed");
    if (b.cfg.cluster.empty()) errors.push_back("cluster=NAME is needed");
    for (const std::string &e : errors) std::fprintf(stderr, "pxr bridge: %s\n", e.c_str());
    if (!errors.empty()) return usage(stderr, 64);
    int status = run(b);
    nats_Close();
    return status;
}
