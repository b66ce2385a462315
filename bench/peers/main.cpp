// peerbench: one measurement per invocation ("measure"), or the summary of a run's raw
// lines ("report"). run.sh drives both.
#include "common.h"
#include "fanout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace peers {
namespace {

const char *const kTransports[] = {
    "pxr-lockfree",    "pxr-locked",   "pxr-lockfree-spin", "pxr-locked-spin", "pxr-ring",
    "pxr-ring-spin",   "pxr-ring-b16", "pxr-ring-b64",      "pxr-ring-cache",  "sysv-floor",
    "sysv-floor-spin", "sysv-payload", "posix-mq",          "unix-seqpacket",  "zeromq-ipc",
    "iceoryx-wait",    "iceoryx-poll", "shm-poll"};

// The rows whose receivers poll (their CPU time per message is reported).
const char *const kSpinning[] = {"pxr-lockfree-spin", "pxr-locked-spin", "pxr-ring-spin",
                                 "sysv-floor-spin",   "iceoryx-poll",    "shm-poll"};
bool spins(const std::string &t) {
    return t.size() > 5 && t.compare(t.size() - 5, 5, "-spin") == 0;
}

const char *label(const std::string &t) {
    static const std::map<std::string, const char *> names = {
        {"pxr-lockfree", "libpxrlib, lock-free pool"},
        {"pxr-locked", "libpxrlib, locked pool"},
        {"pxr-lockfree-spin", "libpxrlib, lock-free pool, receive spin window"},
        {"pxr-locked-spin", "libpxrlib, locked pool, receive spin window"},
        {"pxr-ring", "libpxrlib, ring queues, lock-free pool"},
        {"pxr-ring-spin", "libpxrlib, ring queues, lock-free pool, receive spin window"},
        {"pxr-ring-b16", "libpxrlib, ring queues, batches of 16"},
        {"pxr-ring-b64", "libpxrlib, ring queues, batches of 64"},
        {"pxr-ring-cache", "libpxrlib, ring queues, per-thread buffer cache of 32"},
        {"sysv-floor-spin", "System V queue, 12-byte record, spin window (spinning floor)"},
        {"sysv-floor", "System V queue, 12-byte record (floor)"},
        {"sysv-payload", "System V queue, payload"},
        {"posix-mq", "POSIX message queue"},
        {"unix-seqpacket", "Unix socket, SOCK_SEQPACKET"},
        {"zeromq-ipc", "ZeroMQ PAIR, ipc://"},
        {"iceoryx-wait", "iceoryx, WaitSet (blocking)"},
        {"iceoryx-poll", "iceoryx, busy-polling take()"},
        {"shm-poll", "shared-memory busy-poll (bound)"}};
    auto it = names.find(t);
    return it == names.end() ? t.c_str() : it->second;
}

int usage() {
    fprintf(stderr,
            "usage: peerbench measure --transport T --test lat|tput|idle --payload N [--count N]\n"
            "                 [--warm N] [--secs S] [--producers P] [--cpus A,B] [--rep R]\n"
            "                 [--pair T] [--spin US] [--untouched]\n"
            "                 [--tune]\n"
            "       peerbench report RAW.csv OUTDIR\n"
            "       peerbench fanout measure|report|list ...\n"
            "       peerbench backpressure --form alloc|send ...\n"
            "       peerbench list\n");
    return 2;
}

int measure(int argc, char **argv) {
    Params p;
    int rep = 1;
    std::string pair;      // the measurement this floor run is paired with
    uint32_t spin_us = 50; // the window of the *-spin rows
    long ncpu = sysconf(_SC_NPROCESSORS_ONLN);
    if (ncpu < 2) p.cpu_a = p.cpu_b = -1;
    for (int i = 0; i < argc; ++i) {
        const Option o = common_option(argc, argv, i, p, rep);
        if (o == Option::taken) continue;
        if (o == Option::bad) return usage();
        std::string a = argv[i];
        auto val = [&]() -> const char * { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--transport")
            p.transport = val();
        else if (a == "--test") {
            std::string v = val();
            p.test = v == "tput" ? Test::Throughput : v == "idle" ? Test::Idle : Test::Latency;
        } else if (a == "--spin")
            spin_us = uint32_t(atol(val()));
        else if (a == "--producers")
            p.producers = atoi(val());
        else if (a == "--pair")
            pair = val();
        else if (a == "--untouched")
            p.untouched = true;
        else
            return usage();
    }
    if (p.payload < 16 && p.transport.rfind("sysv-floor", 0) != 0) return usage();
    Result r;
    std::string t = p.transport;
    if (spins(t)) {
        p.spin_us = spin_us;
        t.resize(t.size() - 5);
    }
    if (t == "pxr-lockfree")
        r = run_pxr(p, true);
    else if (t == "pxr-locked")
        r = run_pxr(p, false);
    else if (t == "pxr-ring")
        r = run_pxr(p, true, kRingCapacity);
    else if (t == "pxr-ring-b16" || t == "pxr-ring-b64") {
        p.batch = t == "pxr-ring-b16" ? 16 : 64;
        r = run_pxr(p, true, kRingCapacity);
    } else if (t == "pxr-ring-cache") {
        p.cache = 32;
        r = run_pxr(p, true, kRingCapacity);
    } else if (t == "sysv-floor")
        r = run_sysv_floor(p);
    else if (t == "sysv-payload")
        r = run_sysv_payload(p);
    else if (t == "posix-mq")
        r = run_posix_mq(p);
    else if (t == "unix-seqpacket")
        r = run_unix_seqpacket(p);
    else if (t == "zeromq-ipc")
        r = run_zmq(p);
    else if (t == "iceoryx-wait")
        r = run_iceoryx(p, false);
    else if (t == "iceoryx-poll")
        r = run_iceoryx(p, true);
    else if (t == "shm-poll")
        r = run_shm_poll(p);
    else
        return usage();
    for (char *c = r.error; *c; ++c)
        if (*c == ',' || *c == '\n') *c = ';';
    // Both sides on one core: a row of its own.
    const std::string name =
        p.transport + (p.cpu_a >= 0 && p.cpu_a == p.cpu_b ? "-onecore" : std::string());
    const char *test = p.test == Test::Latency ? "lat" : p.test == Test::Idle ? "idle" : "tput";
    printf("%s,%s,%u,%d,%d,%d,%.3f,%.3f,%.3f,%.1f,%llu,%s,%s,%.4f,%.4f,%.4f\n", name.c_str(), test,
           p.payload, p.test == Test::Throughput ? p.producers : 1, rep, r.ok, r.median_us,
           r.p99_us, r.mean_us, r.msgs_per_s, (unsigned long long)r.messages, r.error, pair.c_str(),
           r.moved ? r.cpu_s * 1e6 / double(r.moved) : 0.0, r.idle_cpu_pct,
           r.moved ? double(r.waits) / double(r.moved) : 0.0);
    return r.ok ? 0 : 1;
}

// ---- report ----

struct Raw {
    std::string transport, test, error;
    uint32_t payload;
    int producers, rep, ok;
    double median, p99, mean, rate;
    std::string pair;   // for a floor run: the transport measured right after it
    double cpu = 0;     // CPU µs per message, all sides
    double idle = 0;    // idle test: the waiting receiver's CPU, % of a core
    double futex = NAN; // futex calls per message, all processes (when perf counted them)
};

struct Agg {
    int n = 0;
    double med = NAN, lo = NAN, hi = NAN; // median over repetitions of the main figure
    double p99 = NAN;
    double cpu = NAN;   // median CPU µs per message
    double futex = NAN; // median futex calls per message
    std::string error;
};

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Report {
    std::vector<Raw> raws;
    std::map<std::string, Agg> agg; // key: transport|test|payload|producers
    std::vector<uint32_t> payloads;

    static std::string key(const std::string &t, const char *test, uint32_t payload, int prod) {
        return t + "|" + test + "|" + std::to_string(payload) + "|" + std::to_string(prod);
    }

    bool load(const char *path) {
        std::ifstream in(path);
        if (!in) return false;
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream ss(line);
            std::string x;
            while (std::getline(ss, x, ',')) f.push_back(x);
            if (f.size() < 11 || f[0] == "transport") continue;
            Raw r{f[0],
                  f[1],
                  f.size() > 11 ? f[11] : "",
                  uint32_t(atol(f[2].c_str())),
                  atoi(f[3].c_str()),
                  atoi(f[4].c_str()),
                  atoi(f[5].c_str()),
                  atof(f[6].c_str()),
                  atof(f[7].c_str()),
                  atof(f[8].c_str()),
                  atof(f[9].c_str()),
                  f.size() > 12 ? f[12] : std::string(),
                  f.size() > 13 ? atof(f[13].c_str()) : 0,
                  f.size() > 14 ? atof(f[14].c_str()) : 0};
            if (f.size() > 16 && !f[16].empty() && atof(f[10].c_str()) > 0)
                r.futex = atof(f[16].c_str()) / atof(f[10].c_str());
            raws.push_back(r);
            if (std::find(payloads.begin(), payloads.end(), r.payload) == payloads.end())
                payloads.push_back(r.payload);
        }
        std::sort(payloads.begin(), payloads.end());
        std::map<std::string, std::vector<const Raw *>> groups;
        for (const Raw &r : raws)
            groups[key(r.transport, r.test.c_str(), r.payload, r.producers)].push_back(&r);
        for (auto &[k, v] : groups) {
            Agg a;
            std::vector<double> main, p99, cpu, futex;
            for (const Raw *r : v) {
                if (!r->ok) {
                    a.error = r->error;
                    continue;
                }
                if (!std::isnan(r->futex)) futex.push_back(r->futex);
                main.push_back(r->test == "lat"    ? r->median
                               : r->test == "idle" ? r->idle
                                                   : r->rate);
                p99.push_back(r->p99);
                cpu.push_back(r->cpu);
            }
            a.n = int(main.size());
            if (a.n) {
                a.med = median_of(main);
                a.lo = *std::min_element(main.begin(), main.end());
                a.hi = *std::max_element(main.begin(), main.end());
                a.p99 = median_of(p99);
                a.cpu = median_of(cpu);
                if (!futex.empty()) a.futex = median_of(futex);
            }
            agg[k] = a;
        }
        return true;
    }

    const Agg *get(const std::string &t, const char *test, uint32_t payload, int prod = 1) const {
        auto it = agg.find(key(t, test, payload, prod));
        return it == agg.end() || it->second.n == 0 ? nullptr : &it->second;
    }
    // Round trips drift between modes of the machine over minutes, so each round-trip figure is
    // compared with a floor measured just before it: the median over the repetitions of the
    // paired ratio (or difference). Falls back to the ratio of the medians.
    double paired(const std::string &t, uint32_t payload, bool difference) const {
        std::vector<double> v;
        for (const Raw &x : raws) {
            if (x.transport != t || x.test != "lat" || x.payload != payload || !x.ok) continue;
            for (const Raw &f : raws)
                if (f.transport == "sysv-floor" && f.test == "lat" && f.payload == payload &&
                    f.rep == x.rep && f.pair == t && f.ok && f.median > 0)
                    v.push_back(difference ? x.median - f.median : x.median / f.median);
        }
        if (!v.empty()) return median_of(v);
        const Agg *a = get(t, "lat", payload), *fl = get("sysv-floor", "lat", payload);
        if (!a || !fl) return NAN;
        return difference ? a->med - fl->med : a->med / fl->med;
    }
    bool present(const std::string &t) const {
        for (const Raw &r : raws)
            if (r.transport == t) return true;
        return false;
    }
};

std::string fmt_rate(double v) {
    char b[32];
    if (v >= 1e6)
        snprintf(b, sizeof b, "%.2fM", v / 1e6);
    else
        snprintf(b, sizeof b, "%.0fk", v / 1e3);
    return b;
}

std::string fmt_us(double v) {
    char b[32];
    snprintf(b, sizeof b, v < 10 ? "%.2f" : "%.1f", v);
    return b;
}

std::string spread_us(const Agg &a) {
    if (a.n < 2) return fmt_us(a.med);
    return fmt_us(a.med) + " ±" + fmt_us((a.hi - a.lo) / 2);
}
std::string spread_rate(const Agg &a) {
    if (a.n < 2) return fmt_rate(a.med);
    return fmt_rate(a.med) + " ±" + fmt_rate((a.hi - a.lo) / 2);
}
std::string fmt_ratio(double x) {
    if (std::isnan(x)) return "–";
    char b[32];
    snprintf(b, sizeof b, "%.2f×", x);
    return b;
}
std::string ratio(double v, const Agg *floor) {
    if (!floor || !(floor->med > 0)) return "–";
    char b[32];
    snprintf(b, sizeof b, "%.2f×", v / floor->med);
    return b;
}
std::string size_name(uint32_t p) {
    return p >= 1024 && p % 1024 == 0 ? std::to_string(p / 1024) + " KB" : std::to_string(p) + " B";
}

std::string fmt_cpu(const Agg *a) {
    if (!a || std::isnan(a->cpu)) return "–";
    char b[32];
    snprintf(b, sizeof b, "%.2f", a->cpu);
    return b;
}

// The receive spin window: what the spinning rows cost in CPU, both sides on one core, and
// the figures against their targets.
void spin_sections(const Report &R, std::ostringstream &md) {
    std::vector<std::string> rows;
    for (const char *t : {"pxr-lockfree", "sysv-floor"})
        if (R.present(t)) rows.push_back(t);
    for (const char *t : kSpinning)
        if (R.present(t)) rows.push_back(t);
    bool any_spin = false;
    for (const std::string &t : rows) any_spin = any_spin || spins(t);
    if (!any_spin) return;
    md << "\n### CPU time of the spinning rows (µs of CPU per message, both processes, median; "
          "idle: a receiver waiting on an empty queue, % of one core)\n\n| Transport |";
    for (uint32_t p : R.payloads) md << " round trip " << size_name(p) << " |";
    for (uint32_t p : R.payloads) md << " one way " << size_name(p) << " |";
    md << " idle |\n|---|";
    for (size_t i = 0; i < 2 * R.payloads.size() + 1; ++i) md << "---:|";
    md << "\n";
    for (const std::string &t : rows) {
        md << "| " << label(t) << " |";
        for (const char *test : {"lat", "tput"})
            for (uint32_t p : R.payloads) md << " " << fmt_cpu(R.get(t, test, p)) << " |";
        const Agg *idle = nullptr;
        for (uint32_t p : R.payloads)
            if (!idle) idle = R.get(t, "idle", p);
        char b[32] = "–";
        if (idle) snprintf(b, sizeof b, "%.3f%%", idle->med);
        md << " " << b << " |\n";
    }

    std::vector<std::string> one;
    for (const char *t : {"pxr-lockfree", "pxr-lockfree-spin", "sysv-floor", "sysv-floor-spin"})
        if (R.present(std::string(t) + "-onecore")) one.push_back(t);
    uint32_t p0 = R.payloads.empty() ? 0 : R.payloads.front();
    if (!one.empty()) {
        md << "\n### Both processes on one core (round trip, " << size_name(p0)
           << ", µs, median)\n\n| Transport | median | p99 | CPU µs per message |\n"
              "|---|---:|---:|---:|\n";
        for (const std::string &t : one) {
            const Agg *a = R.get(t + "-onecore", "lat", p0);
            md << "| " << label(t) << " | " << (a ? spread_us(*a) : "–") << " | "
               << (a ? fmt_us(a->p99) : "–") << " | " << fmt_cpu(a) << " |\n";
        }
    }

    md << "\n### Targets of the receive spin window\n\n";
    auto verdict = [](bool met) { return met ? "met" : "missed"; };
    for (uint32_t p : R.payloads) {
        const Agg *s = R.get("pxr-lockfree-spin", "lat", p);
        if (!s) continue;
        const double vs_floor = R.paired("pxr-lockfree-spin", p, false);
        const double bound = p >= 16384 ? 0.25 : 0.15;
        md << "- " << size_name(p) << ": lock-free with the window " << fmt_us(s->med)
           << " µs = " << fmt_ratio(vs_floor) << " the blocking floor (target ≤ "
           << fmt_ratio(bound) << "): " << verdict(vs_floor <= bound);
        if (const Agg *sf = R.get("sysv-floor-spin", "lat", p))
            md << "; " << fmt_ratio(s->med / sf->med) << " the spinning floor (" << fmt_us(sf->med)
               << " µs; target ≤ 1.15×): " << verdict(s->med / sf->med <= 1.15);
        if (const Agg *ip = R.get("iceoryx-poll", "lat", p))
            md << "; " << fmt_ratio(s->med / ip->med) << " iceoryx busy-polling take() ("
               << fmt_us(ip->med) << " µs)"
               << (p >= 16384 ? std::string(" (target ≤ 1.00×): ") + verdict(s->med <= ip->med)
                              : std::string());
        md << "\n";
    }
    for (uint32_t p : R.payloads) {
        const Agg *s = R.get("pxr-lockfree-spin", "tput", p), *b = R.get("pxr-lockfree", "tput", p);
        if (!s || !b) continue;
        const double x = s->med / b->med, bound = p == R.payloads.front() ? 1.3 : 1.0;
        md << "- " << size_name(p) << ": one-way throughput with the window " << fmt_rate(s->med)
           << "/s = " << fmt_ratio(x) << " the blocking form's (target ≥ " << fmt_ratio(bound)
           << "): " << verdict(x >= bound) << "\n";
    }
    for (const char *t : {"pxr-lockfree-spin", "pxr-locked-spin", "sysv-floor-spin"})
        for (uint32_t p : R.payloads)
            if (const Agg *a = R.get(t, "idle", p)) {
                char b[64];
                snprintf(b, sizeof b, "%.3f%%", a->med);
                md << "- idle receiver, " << label(t) << ": " << b
                   << " of a core (target < 1%): " << verdict(a->med < 1.0) << "\n";
            }
    const Agg *ob = R.get("pxr-lockfree-onecore", "lat", p0);
    const Agg *os = R.get("pxr-lockfree-spin-onecore", "lat", p0);
    if (ob && os)
        md << "- both processes on one core: round trip with the window " << fmt_us(os->med)
           << " µs against " << fmt_us(ob->med) << " µs blocking = " << fmt_ratio(os->med / ob->med)
           << " (target ≤ 1.10×): " << verdict(os->med <= 1.10 * ob->med) << "\n";
}

// The median over the repetitions of a one-way rate's ratio to the busy-poll bound's in the same
// repetition: the bound moves with the machine's load from one repetition to the next.
double to_bound(const Report &R, const std::string &t, uint32_t payload, int producers = 1) {
    std::vector<double> v;
    for (const Raw &x : R.raws)
        if (x.transport == t && x.test == "tput" && x.payload == payload &&
            x.producers == producers && x.ok)
            for (const Raw &b : R.raws)
                if (b.transport == "shm-poll" && b.test == "tput" && b.payload == payload &&
                    b.rep == x.rep && b.ok && b.rate > 0)
                    v.push_back(x.rate / b.rate);
    return v.empty() ? NAN : median_of(v);
}

// Ring queues one way, one message at a time, through buffer caches and in batches, against the
// busy-poll bound of the same repetitions: rate, ratio, CPU and futex calls per message.
void ring_section(const Report &R, std::ostringstream &md) {
    const char *rows[] = {"pxr-ring", "pxr-ring-cache", "pxr-ring-b16", "pxr-ring-b64", "shm-poll"};
    if (!R.present("pxr-ring") || !R.present("shm-poll")) return;
    md << "\n### Ring queues one way (messages/s, median; × the busy-poll bound, median of the "
          "repetitions' ratios; µs of CPU per message, both sides; futex calls per message)\n\n"
          "| Transport |";
    for (uint32_t p : R.payloads) md << " " << size_name(p) << " | × bound | CPU | futex |";
    md << "\n|---|";
    for (size_t i = 0; i < R.payloads.size(); ++i) md << "---:|---:|---:|---:|";
    md << "\n";
    auto futex = [](const Agg *a) {
        char b[32] = "–";
        if (a && !std::isnan(a->futex)) snprintf(b, sizeof b, "%.4f", a->futex);
        return std::string(b);
    };
    for (const char *t : rows) {
        if (!R.present(t)) continue;
        md << "| " << label(t) << " |";
        for (uint32_t p : R.payloads) {
            const Agg *a = R.get(t, "tput", p);
            if (!a) {
                md << " – | – | – | – |";
                continue;
            }
            md << " " << spread_rate(*a) << " | " << fmt_ratio(to_bound(R, t, p)) << " | "
               << fmt_cpu(a) << " | " << futex(a) << " |";
        }
        md << "\n";
    }
    auto target = [&](const char *t, uint32_t p, double bound, int producers = 1) {
        const double x = to_bound(R, t, p, producers);
        if (std::isnan(x)) return;
        md << "- " << label(t) << ", " << size_name(p)
           << (producers > 1 ? ", " + std::to_string(producers) + " producers" : std::string())
           << ": " << fmt_ratio(x) << " the bound (target ≥ " << fmt_ratio(bound)
           << "): " << (x >= bound ? "met" : "missed") << "\n";
    };
    md << "\n";
    const uint32_t p0 = R.payloads.front();
    target("pxr-ring", p0, 0.25);
    target("pxr-ring-cache", p0, 0.25);
    for (uint32_t p : R.payloads)
        for (const char *t : {"pxr-ring-b16", "pxr-ring-b64"}) target(t, p, 0.5);
    for (const char *t : {"pxr-ring", "pxr-ring-cache"}) target(t, p0, 0.25, 3);
    const Agg *rs = R.get("pxr-ring-spin", "lat", p0), *bs = R.get("shm-poll", "lat", p0);
    if (rs && bs)
        md << "- round trip with the spin window, " << size_name(p0) << ": " << fmt_us(rs->med)
           << " µs = " << fmt_ratio(rs->med / bs->med)
           << " the bound (target ≤ 1.50×): " << (rs->med <= 1.5 * bs->med ? "met" : "missed")
           << "\n";
}

int report(const char *raw_path, const std::string &outdir) {
    Report R;
    if (!R.load(raw_path)) {
        fprintf(stderr, "cannot read %s\n", raw_path);
        return 1;
    }
    std::vector<std::string> ts;
    for (const char *t : kTransports)
        if (R.present(t)) ts.push_back(t);

    // Summary CSV.
    std::string csv_path = outdir + "/peers.csv";
    FILE *csv = fopen(csv_path.c_str(), "w");
    if (!csv) return 1;
    fprintf(csv, "transport,test,payload,producers,reps_ok,median,min,max,p99_median,"
                 "ratio_to_sysv_floor,cpu_us_per_msg\n");
    for (auto &[k, a] : R.agg) {
        std::string t = k.substr(0, k.find('|'));
        Raw probe{};
        for (const Raw &r : R.raws)
            if (Report::key(r.transport, r.test.c_str(), r.payload, r.producers) == k) probe = r;
        const Agg *floor = R.get("sysv-floor", probe.test.c_str(), probe.payload);
        double rat = (a.n && floor) ? a.med / floor->med : NAN;
        if (probe.test == "lat" && t != "sysv-floor") rat = R.paired(t, probe.payload, false);
        fprintf(csv, "%s,%s,%u,%d,%d,%.3f,%.3f,%.3f,%.3f,%.3f,%.4f\n", t.c_str(),
                probe.test.c_str(), probe.payload, probe.producers, a.n, a.med, a.lo, a.hi,
                probe.test == "lat" ? a.p99 : NAN, rat, a.cpu);
    }
    fclose(csv);

    // Plot data: one row per transport, one column per payload.
    for (const char *test : {"lat", "tput"}) {
        std::string path = outdir + "/peers-" + test + ".dat";
        FILE *f = fopen(path.c_str(), "w");
        if (!f) return 1;
        fprintf(f, "transport");
        for (uint32_t p : R.payloads) fprintf(f, "\t\"%s\"", size_name(p).c_str());
        fprintf(f, "\n");
        for (const std::string &t : ts) {
            fprintf(f, "\"%s\"", t.c_str());
            for (uint32_t p : R.payloads) {
                const Agg *a = R.get(t, test, p);
                double v = a ? a->med : NAN;
                if (std::string(test) == "tput" && a) v /= 1e3;
                if (a)
                    fprintf(f, "\t%.3f", v);
                else
                    fprintf(f, "\t-");
            }
            fprintf(f, "\n");
        }
        fclose(f);
    }
    std::vector<int> prods;
    uint32_t multi_payload = 0;
    for (const Raw &r : R.raws)
        if (r.test == "tput" && r.producers > 1) multi_payload = r.payload;
    for (const Raw &r : R.raws)
        if (r.test == "tput" && r.payload == multi_payload &&
            (r.transport == "pxr-lockfree" || r.transport == "pxr-locked" ||
             r.transport == "pxr-ring") &&
            std::find(prods.begin(), prods.end(), r.producers) == prods.end())
            prods.push_back(r.producers);
    std::sort(prods.begin(), prods.end());
    {
        std::string path = outdir + "/peers-multi.dat";
        FILE *f = fopen(path.c_str(), "w");
        if (!f) return 1;
        fprintf(f, "producers\tlock-free\tlocked\tring\n");
        for (int n : prods) {
            const Agg *a = R.get("pxr-lockfree", "tput", multi_payload, n);
            const Agg *b = R.get("pxr-locked", "tput", multi_payload, n);
            const Agg *c = R.get("pxr-ring", "tput", multi_payload, n);
            fprintf(f, "%d\t%.3f\t%.3f\t%.3f\n", n, a ? a->med / 1e3 : NAN, b ? b->med / 1e3 : NAN,
                    c ? c->med / 1e3 : NAN);
        }
        fclose(f);
    }

    // Markdown.
    int reps = 0;
    for (const Raw &r : R.raws) reps = std::max(reps, r.rep);
    const std::string runs =
        reps == 1 ? "one run" : "median of " + std::to_string(reps) + " runs ± half their spread";
    std::ostringstream md;
    md << "### Round-trip latency (µs; " << runs << "; p99 = median of the runs' 99th "
       << "percentiles; × the System V floor)\n\n| Transport |";
    for (uint32_t p : R.payloads) md << " " << size_name(p) << " median | p99 | × floor |";
    md << "\n|---|";
    for (size_t i = 0; i < R.payloads.size(); ++i) md << "---:|---:|---:|";
    md << "\n";
    for (const std::string &t : ts) {
        md << "| " << label(t) << " |";
        for (uint32_t p : R.payloads) {
            const Agg *a = R.get(t, "lat", p);
            const Agg *f = R.get("sysv-floor", "lat", p);
            if (a)
                md << " " << spread_us(*a) << " | " << fmt_us(a->p99) << " | "
                   << (t == "sysv-floor" ? ratio(a->med, f) : fmt_ratio(R.paired(t, p, false)))
                   << " |";
            else
                md << " – | – | – |";
        }
        md << "\n";
    }
    md << "\n### One-way throughput (messages/s; " << runs << "; × the System V floor)\n\n"
       << "| Transport |";
    for (uint32_t p : R.payloads) md << " " << size_name(p) << " | × floor |";
    md << "\n|---|";
    for (size_t i = 0; i < R.payloads.size(); ++i) md << "---:|---:|";
    md << "\n";
    for (const std::string &t : ts) {
        md << "| " << label(t) << " |";
        for (uint32_t p : R.payloads) {
            const Agg *a = R.get(t, "tput", p);
            const Agg *f = R.get("sysv-floor", "tput", p);
            if (a)
                md << " " << spread_rate(*a) << " | " << ratio(a->med, f) << " |";
            else
                md << " – | – |";
        }
        md << "\n";
    }
    if (!prods.empty()) {
        md << "\n### Producers into one consumer (libpxrlib, " << size_name(multi_payload)
           << ", messages/s in total)\n\n| Producers | lock-free | locked | locked / lock-free "
              "| ring queues | ring / lock-free |\n|---:|---:|---:|---:|---:|---:|\n";
        for (int n : prods) {
            const Agg *a = R.get("pxr-lockfree", "tput", multi_payload, n);
            const Agg *b = R.get("pxr-locked", "tput", multi_payload, n);
            const Agg *c = R.get("pxr-ring", "tput", multi_payload, n);
            auto over = [a](const Agg *x) {
                char r[32] = "–";
                if (a && x) snprintf(r, sizeof r, "%.2f", x->med / a->med);
                return std::string(r);
            };
            md << "| " << n << " | " << (a ? spread_rate(*a) : "–") << " | "
               << (b ? spread_rate(*b) : "–") << " | " << over(b) << " | "
               << (c ? spread_rate(*c) : "–") << " | " << over(c) << " |\n";
        }
    }

    spin_sections(R, md);
    ring_section(R, md);

    // Targets.
    md << "\n### Targets\n\n";
    auto pct = [](double v) {
        char b[32];
        snprintf(b, sizeof b, "%+.0f%%", v * 100);
        return std::string(b);
    };
    for (uint32_t p : R.payloads) {
        const Agg *lf = R.get("pxr-lockfree", "lat", p), *fl = R.get("sysv-floor", "lat", p);
        const Agg *lt = R.get("pxr-lockfree", "tput", p), *ft = R.get("sysv-floor", "tput", p);
        if (lf && fl) {
            double x = R.paired("pxr-lockfree", p, false);
            md << "- " << size_name(p) << ": lock-free round trip " << fmt_us(lf->med)
               << " µs = " << fmt_ratio(x) << " the floor (target ≤ 1.10×): "
               << (x <= 1.10 ? "met" : "missed by " + pct(x / 1.10 - 1).substr(1));
            // The floor moves no payload; the busy-poll bound's growth from the smallest size
            // is what filling and reading the payload across cores costs by itself.
            const Agg *s0 = R.get("shm-poll", "lat", R.payloads.front());
            const Agg *sp = R.get("shm-poll", "lat", p);
            if (s0 && sp && p != R.payloads.front())
                md << "; " << fmt_us(R.paired("pxr-lockfree", p, true))
                   << " µs above the floor, of which about " << fmt_us(sp->med - s0->med)
                   << " µs is moving the payload between the cores "
                   << "(the busy-poll bound's own growth from " << size_name(R.payloads.front())
                   << ")";
            md << "\n";
        }
        if (lt && ft) {
            double x = lt->med / ft->med;
            md << "- " << size_name(p) << ": lock-free throughput " << ratio(lt->med, ft)
               << " the floor (target ≥ 0.90×): "
               << (x >= 0.9 ? "met" : "missed by " + pct(1 - x / 0.9).substr(1));
            // Per message: the lock-free form's time above the floor's, beside the time the
            // busy-poll ring needs to fill and read the same payload on its own.
            const Agg *sp = R.get("shm-poll", "tput", p);
            if (sp)
                md << "; " << fmt_us(1e6 / lt->med - 1e6 / ft->med)
                   << " µs per message above the floor, against " << fmt_us(1e6 / sp->med)
                   << " µs per message for the busy-poll bound to move the payload at all";
            md << "\n";
        }
    }
    const char *copying[] = {"sysv-payload", "posix-mq", "unix-seqpacket", "zeromq-ipc"};
    for (uint32_t p : R.payloads) {
        if (p < 1024) continue;
        const Agg *lf = R.get("pxr-lockfree", "lat", p), *lt = R.get("pxr-lockfree", "tput", p);
        for (const char *c : copying) {
            const Agg *cl = R.get(c, "lat", p), *ct = R.get(c, "tput", p);
            if (lf && cl) {
                // Each against the floor measured just before it, so a drift between the two
                // measurements does not decide the comparison.
                double a = R.paired("pxr-lockfree", p, false), b = R.paired(c, p, false);
                md << "- " << size_name(p) << ": round trip vs " << label(c) << ": " << fmt_ratio(a)
                   << " vs " << fmt_ratio(b) << " the floor (" << fmt_us(lf->med) << " vs "
                   << fmt_us(cl->med) << " µs): "
                   << (a <= b ? "no slower (met)" : "slower by " + pct(a / b - 1) + " (missed)")
                   << "\n";
            }
            if (p >= 16384 && lt && ct) {
                double x = lt->med / ct->med;
                char b[32];
                snprintf(b, sizeof b, "%.2f×", x);
                md << "- " << size_name(p) << ": throughput vs " << label(c) << ": " << b
                   << " (target ≥ 1.8×): "
                   << (x >= 1.8 ? "met" : "missed by " + pct(1 - x / 1.8).substr(1)) << "\n";
            }
        }
    }
    for (uint32_t p : R.payloads) {
        const Agg *lf = R.get("pxr-lockfree", "lat", p), *lk = R.get("pxr-locked", "lat", p);
        const Agg *tf = R.get("pxr-lockfree", "tput", p), *tk = R.get("pxr-locked", "tput", p);
        if (lf && lk)
            md << "- " << size_name(p) << ": locked form costs " << fmt_us(lk->med - lf->med)
               << " µs more per round trip (" << pct(lk->med / lf->med - 1) << ")";
        if (tf && tk) md << ", throughput " << pct(tk->med / tf->med - 1);
        if (lf && lk) md << "\n";
        for (const char *b : {"iceoryx-poll", "shm-poll", "iceoryx-wait"}) {
            const Agg *bl = R.get(b, "lat", p);
            if (lf && bl) {
                char x[32];
                snprintf(x, sizeof x, "%.1f×", lf->med / bl->med);
                md << "- " << size_name(p) << ": lock-free round trip is " << x << " that of "
                   << label(b) << " (" << fmt_us(bl->med) << " µs)\n";
            }
        }
    }
    bool failures = false;
    for (auto &[k, a] : R.agg)
        if (!a.error.empty()) {
            if (!failures) md << "\n### Failed runs\n\n";
            failures = true;
            md << "- " << k << ": " << a.error << "\n";
        }
    std::string md_path = outdir + "/peers.md";
    FILE *f = fopen(md_path.c_str(), "w");
    if (!f) return 1;
    fputs(md.str().c_str(), f);
    fclose(f);
    fputs(md.str().c_str(), stdout);
    return 0;
}

} // namespace
} // namespace peers

int main(int argc, char **argv) {
    if (argc < 2) return peers::usage();
    std::string cmd = argv[1];
    if (cmd == "measure") return peers::measure(argc - 2, argv + 2);
    if (cmd == "report" && argc == 4) return peers::report(argv[2], argv[3]);
    if (cmd == "fanout") return peers::fanout_main(argc - 2, argv + 2);
    if (cmd == "backpressure") return peers::backpressure_main(argc - 2, argv + 2);
    if (cmd == "list") {
        for (const char *t : peers::kTransports)
            if (std::string(t).rfind("iceoryx", 0) != 0 || peers::have_iceoryx()) printf("%s\n", t);
        return 0;
    }
    return peers::usage();
}
