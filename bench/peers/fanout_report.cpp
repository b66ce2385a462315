// The summary of the fan-out and backpressure rows: markdown tables, the targets with the
// ratios measured within each repetition, a CSV and the data files of fanout.gp.
#include "fanout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace peers {

namespace {

const char *const kOrder[] = {"fan-ring", "fan-kernel", "fan-ring-per-member", "fan-iceoryx",
                              "fan-zeromq"};
const int kSubscriberCounts[] = {1, 2, 4};

const char *label(const std::string &t) {
    static const std::map<std::string, const char *> names = {
        {"fan-ring", "libpxrlib group, ring queues"},
        {"fan-kernel", "libpxrlib group, kernel queues"},
        {"fan-ring-per-member", "libpxrlib, one buffer per subscriber, ring queues"},
        {"fan-iceoryx", "iceoryx publish-subscribe (WaitSet)"},
        {"fan-zeromq", "ZeroMQ PUB/SUB, ipc://"}};
    auto it = names.find(t);
    return it == names.end() ? t.c_str() : it->second;
}

std::vector<std::string> split(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string x;
    while (std::getline(ss, x, ',')) f.push_back(x);
    return f;
}

double median_of(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Row {
    std::string transport, test, error;
    uint32_t payload = 0;
    int subs = 0, rep = 0, ok = 0;
    double median = 0, p99 = 0, rate = 0, cpu = 0, waits = 0;
    double pub_busy = 0, subs_busy = 0; // % of a core: the publisher, the subscribers together
    double value() const { return test == "lat" ? median : rate; }
};

struct Fan {
    std::vector<Row> rows;
    std::vector<uint32_t> payloads;

    static std::string key(const std::string &t, const std::string &test, uint32_t p, int n) {
        return t + "|" + test + "|" + std::to_string(p) + "|" + std::to_string(n);
    }
    std::vector<const Row *> of(const std::string &t, const std::string &test, uint32_t p,
                                int n) const {
        std::vector<const Row *> v;
        for (const Row &r : rows)
            if (r.ok && r.transport == t && r.test == test && r.payload == p && r.subs == n)
                v.push_back(&r);
        return v;
    }
    // Median over the repetitions of a field; NaN when no run succeeded.
    template <class F>
    double med(const std::string &t, const std::string &test, uint32_t p, int n, F field) const {
        std::vector<double> v;
        for (const Row *r : of(t, test, p, n)) v.push_back(field(*r));
        return median_of(v);
    }
    double med(const std::string &t, const std::string &test, uint32_t p, int n) const {
        return med(t, test, p, n, [](const Row &r) { return r.value(); });
    }
    double spread(const std::string &t, const std::string &test, uint32_t p, int n) const {
        std::vector<double> v;
        for (const Row *r : of(t, test, p, n)) v.push_back(r->value());
        if (v.size() < 2) return NAN;
        auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        return (*hi - *lo) / 2;
    }
    // a / b within each repetition, the median of those ratios.
    double ratio(const std::string &ta, int na, const std::string &tb, int nb,
                 const std::string &test, uint32_t p) const {
        std::vector<double> v;
        for (const Row *a : of(ta, test, p, na))
            for (const Row *b : of(tb, test, p, nb))
                if (a->rep == b->rep && b->value() > 0) v.push_back(a->value() / b->value());
        return median_of(v);
    }
    bool present(const std::string &t) const {
        return std::any_of(rows.begin(), rows.end(),
                           [&](const Row &r) { return r.transport == t; });
    }
};

std::string fmt(const char *f, double v) {
    if (std::isnan(v)) return "–";
    char b[48];
    snprintf(b, sizeof b, f, v);
    return b;
}
std::string rate(double v) {
    return std::isnan(v) ? "–" : v >= 1e6 ? fmt("%.2fM", v / 1e6) : fmt("%.0fk", v / 1e3);
}
std::string micros(double v) {
    return fmt(v < 10 ? "%.2f" : "%.1f", v);
}
std::string size_name(uint32_t p) {
    return p >= 1024 && p % 1024 == 0 ? std::to_string(p / 1024) + " KB" : std::to_string(p) + " B";
}
std::string verdict(double x, double bound, bool at_least) {
    if (std::isnan(x)) return "not measured";
    return fmt("%.2f×", x) + ((at_least ? x >= bound : x <= bound) ? ": met" : ": missed");
}

void table(const Fan &F, std::ostringstream &md, const std::string &title,
           std::string (*cell)(const Fan &, const std::string &, uint32_t, int)) {
    md << "\n### " << title << "\n\n| Transport |";
    for (uint32_t p : F.payloads)
        for (int n : kSubscriberCounts) md << " " << size_name(p) << " ×" << n << " |";
    md << "\n|---|";
    for (size_t i = 0; i < F.payloads.size() * std::size(kSubscriberCounts); ++i) md << "---:|";
    md << "\n";
    for (const char *t : kOrder) {
        if (!F.present(t)) continue;
        md << "| " << label(t) << " |";
        for (uint32_t p : F.payloads)
            for (int n : kSubscriberCounts) md << " " << cell(F, t, p, n) << " |";
        md << "\n";
    }
}

void targets(const Fan &F, std::ostringstream &md) {
    md << "\n### Targets (ratios within each repetition, median)\n\n";
    const uint32_t small = F.payloads.empty() ? 64 : F.payloads.front();
    const uint32_t large = F.payloads.empty() ? 16384 : F.payloads.back();
    md << "- " << size_name(small)
       << ", ring queues: the publisher's rate with 4 subscribers ≥ 0.5 × with 1 ("
       << rate(F.med("fan-ring", "tput", small, 4)) << "/s against "
       << rate(F.med("fan-ring", "tput", small, 1))
       << "/s): " << verdict(F.ratio("fan-ring", 4, "fan-ring", 1, "tput", small), 0.5, true)
       << "\n";
    md << "- " << size_name(large)
       << ", 4 subscribers, ring queues: group ≥ 3 × one buffer per subscriber ("
       << rate(F.med("fan-ring", "tput", large, 4)) << "/s against "
       << rate(F.med("fan-ring-per-member", "tput", large, 4)) << "/s): "
       << verdict(F.ratio("fan-ring", 4, "fan-ring-per-member", 4, "tput", large), 3, true) << "\n";
    md << "- " << size_name(large) << ", 4 subscribers: group over rings ≥ 2 × iceoryx ("
       << rate(F.med("fan-iceoryx", "tput", large, 4))
       << "/s): " << verdict(F.ratio("fan-ring", 4, "fan-iceoryx", 4, "tput", large), 2, true)
       << "\n";
    for (uint32_t p : F.payloads)
        md << "- " << size_name(p)
           << ", ring queues: round trip to the slowest of 4 subscribers ≤ 2 × to one ("
           << micros(F.med("fan-ring", "lat", p, 4)) << " µs against "
           << micros(F.med("fan-ring", "lat", p, 1))
           << " µs): " << verdict(F.ratio("fan-ring", 4, "fan-ring", 1, "lat", p), 2, false)
           << "\n";
}

// The backpressure rows: form,rep,ok,secs,work_us,produced,consumed,lost,out_of_order,fatal,
// internal_errors,timeups,producer_cpu_pct,cpu_us_per_msg,sleeps_per_msg,waiting_pct,
// consumer_rate,error.
void backpressure(const char *path, std::ostringstream &md) {
    std::ifstream in(path);
    std::map<std::string, std::vector<std::vector<std::string>>> forms;
    std::string line;
    while (std::getline(in, line)) {
        auto f = split(line);
        if (f.size() >= 17 && f[0] != "form") forms[f[0]].push_back(f);
    }
    if (forms.empty()) return;
    md << "\n### A producer ten times faster than its consumer (waiting calls, fatal action 1)\n\n"
          "| Form | runs ok | s | made | taken | lost | out of order | fatal code | internal "
          "errors | time-ups | producer CPU, % of a core | producer CPU µs per message | "
          "producer sleeps per message | time in the waiting calls, % | consumer, msgs/s "
          "|\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    std::ostringstream verdicts;
    for (const char *form : {"alloc", "send"}) {
        auto it = forms.find(form);
        if (it == forms.end()) continue;
        int ok = 0;
        uint64_t worst[4] = {}; // lost, out of order, fatal code, internal errors: the worst run
        // secs, made, taken, time-ups, CPU %, CPU per message, sleeps, time waiting, rate
        const int cols[] = {3, 5, 6, 11, 12, 13, 14, 15, 16};
        std::vector<double> col[std::size(cols)];
        for (const auto &f : it->second) {
            ok += atoi(f[2].c_str());
            for (int k = 0; k < 4; ++k)
                worst[k] =
                    std::max<uint64_t>(worst[k], strtoull(f[size_t(7 + k)].c_str(), nullptr, 10));
            for (size_t k = 0; k < std::size(cols); ++k)
                col[k].push_back(atof(f[size_t(cols[k])].c_str()));
        }
        const char *name = std::string(form) == "alloc"
                               ? "waiting allocation (kernel queues, 64 buffers)"
                               : "waiting send (ring queues of 16 records)";
        md << "| " << name << " | " << ok << "/" << it->second.size();
        const char *formats[] = {"%.0f", "%.0f", "%.0f"};
        for (int k = 0; k < 3; ++k) md << " | " << fmt(formats[k], median_of(col[k]));
        for (uint64_t w : worst) md << " | " << w;
        md << " | " << fmt("%.0f", median_of(col[3])) << " | " << fmt("%.2f", median_of(col[4]))
           << " | " << fmt("%.1f", median_of(col[5])) << " | " << fmt("%.2f", median_of(col[6]))
           << " | " << fmt("%.1f", median_of(col[7])) << " | " << fmt("%.0f", median_of(col[8]))
           << " |\n";
        const double cpu = median_of(col[4]);
        verdicts << "- " << name << ": " << worst[2]
                 << " fatal events (target 0): " << (worst[2] == 0 ? "met" : "missed") << "; "
                 << worst[0]
                 << " lost (target 0): " << (worst[0] == 0 && worst[1] == 0 ? "met" : "missed")
                 << "; the producer's CPU " << fmt("%.2f", cpu)
                 << " % of a core (target < 1 %): " << (cpu < 1 ? "met" : "missed") << "\n";
    }
    md << "\nMedians over the runs; lost, out of order, fatal code and internal errors are the "
          "worst run's.\n\n"
       << verdicts.str();
}

} // namespace

int fanout_report(const char *raw, const char *backpressure_raw, const std::string &outdir) {
    Fan F;
    std::ifstream in(raw);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", raw);
        return 1;
    }
    std::string line;
    while (std::getline(in, line)) {
        auto f = split(line);
        if (f.size() < 14 || f[0] == "transport") continue;
        Row r;
        r.transport = f[0], r.test = f[1], r.payload = uint32_t(atol(f[2].c_str()));
        r.subs = atoi(f[3].c_str()), r.rep = atoi(f[4].c_str()), r.ok = atoi(f[5].c_str());
        r.median = atof(f[6].c_str()), r.p99 = atof(f[7].c_str()), r.rate = atof(f[8].c_str());
        r.cpu = atof(f[10].c_str()), r.waits = atof(f[11].c_str());
        r.pub_busy = atof(f[12].c_str()), r.subs_busy = atof(f[13].c_str());
        r.error = f.size() > 14 ? f[14] : "";
        F.rows.push_back(r);
        if (std::find(F.payloads.begin(), F.payloads.end(), r.payload) == F.payloads.end())
            F.payloads.push_back(r.payload);
    }
    std::sort(F.payloads.begin(), F.payloads.end());

    FILE *csv = fopen((outdir + "/fanout.csv").c_str(), "w");
    if (!csv) return 1;
    fprintf(csv, "transport,test,payload,subscribers,runs_ok,median,p99_median,cpu_us_per_msg,"
                 "waits_per_msg\n");
    for (const char *t : kOrder)
        for (const char *test : {"tput", "lat"})
            for (uint32_t p : F.payloads)
                for (int n : kSubscriberCounts) {
                    const auto runs = F.of(t, test, p, n);
                    if (runs.empty()) continue;
                    fprintf(csv, "%s,%s,%u,%d,%zu,%.3f,%.3f,%.4f,%.4f\n", t, test, p, n,
                            runs.size(), F.med(t, test, p, n),
                            F.med(t, test, p, n, [](const Row &r) { return r.p99; }),
                            F.med(t, test, p, n, [](const Row &r) { return r.cpu; }),
                            F.med(t, test, p, n, [](const Row &r) { return r.waits; }));
                }
    fclose(csv);
    // Plot data: one file per test and payload, a row per subscriber count.
    for (const char *test : {"tput", "lat"})
        for (uint32_t p : F.payloads) {
            FILE *f =
                fopen((outdir + "/fanout-" + test + "-" + std::to_string(p) + ".dat").c_str(), "w");
            if (!f) return 1;
            fprintf(f, "subscribers");
            for (const char *t : kOrder) fprintf(f, "\t\"%s\"", label(t));
            fprintf(f, "\n");
            for (int n : kSubscriberCounts) {
                fprintf(f, "%d", n);
                for (const char *t : kOrder) {
                    const double v = F.med(t, test, p, n);
                    if (std::isnan(v))
                        fprintf(f, "\t-");
                    else
                        fprintf(f, "\t%.3f", std::string(test) == "tput" ? v / 1e3 : v);
                }
                fprintf(f, "\n");
            }
            fclose(f);
        }

    int reps = 0;
    for (const Row &r : F.rows) reps = std::max(reps, r.rep);
    const std::string runs = reps == 1 ? "one run" : "median of " + std::to_string(reps) + " runs";
    std::ostringstream md;
    table(F, md,
          ("Fan-out: the publisher's rate (messages/s, each reaching every subscriber; " + runs +
           " ± half their spread)"),
          [](const Fan &G, const std::string &t, uint32_t p, int n) {
              const double s = G.spread(t, "tput", p, n);
              return rate(G.med(t, "tput", p, n)) + (std::isnan(s) ? "" : " ±" + rate(s));
          });
    table(F, md,
          ("Fan-out: round trip to the slowest subscriber (µs; " + runs +
           "; the median of the runs' 99th percentiles in brackets)"),
          [](const Fan &G, const std::string &t, uint32_t p, int n) {
              const double m = G.med(t, "lat", p, n);
              return std::isnan(m)
                         ? std::string("–")
                         : micros(m) + " (" +
                               micros(G.med(t, "lat", p, n, [](const Row &r) { return r.p99; })) +
                               ")";
          });
    table(F, md,
          "Fan-out: CPU per published message at the publisher's rate (µs, every process; "
          "sleeps per message in brackets)",
          [](const Fan &G, const std::string &t, uint32_t p, int n) {
              const double c = G.med(t, "tput", p, n, [](const Row &r) { return r.cpu; });
              return std::isnan(c) ? std::string("–")
                                   : fmt("%.2f", c) + " (" +
                                         fmt("%.2f", G.med(t, "tput", p, n,
                                                           [](const Row &r) { return r.waits; })) +
                                         ")";
          });
    table(F, md,
          "Fan-out: busy cores at the publisher's rate (% of one core: the publisher / its "
          "subscribers together, whose core they share)",
          [](const Fan &G, const std::string &t, uint32_t p, int n) {
              const double a = G.med(t, "tput", p, n, [](const Row &r) { return r.pub_busy; });
              const double b = G.med(t, "tput", p, n, [](const Row &r) { return r.subs_busy; });
              return std::isnan(a) ? std::string("–") : fmt("%.0f", a) + " / " + fmt("%.0f", b);
          });
    targets(F, md);
    backpressure(backpressure_raw, md);
    bool failures = false;
    for (const Row &r : F.rows)
        if (!r.ok) {
            if (!failures) md << "\n### Failed fan-out runs\n\n";
            failures = true;
            md << "- " << Fan::key(r.transport, r.test, r.payload, r.subs) << " run " << r.rep
               << ": " << r.error << "\n";
        }
    FILE *f = fopen((outdir + "/fanout.md").c_str(), "w");
    if (!f) return 1;
    fputs(md.str().c_str(), f);
    fclose(f);
    fputs(md.str().c_str(), stdout);
    return 0;
}

} // namespace peers
