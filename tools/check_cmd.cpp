// `pxr check`: the integrity check of check.h as a report, in text or JSON.
#include "check.h"

#include "tool.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace pxrtool {

namespace {

constexpr std::size_t kListedSlots = 16; // slots named per report line

void print_pids(FILE *out, const char *what, const std::vector<PidCount> &pids) {
    for (const PidCount &c : pids)
        std::fprintf(out, "      %s pid %d: %u%s\n", what, int(c.pid), c.buffers,
                     c.pid == 0 ? "" : (c.alive ? " (running)" : " (gone)"));
}

void print_held_by_gone(FILE *out, const PartitionCheck &p) {
    if (p.held_by_gone.empty()) return;
    std::fprintf(out, "    held by processes that are gone: %zu (slot/pid:", p.held_by_gone.size());
    for (std::size_t i = 0; i < p.held_by_gone.size() && i < kListedSlots; ++i)
        std::fprintf(out, " %u/%d", p.held_by_gone[i].slot, int(p.held_by_gone[i].pid));
    std::fprintf(out, "%s)\n", p.held_by_gone.size() > kListedSlots ? " ..." : "");
    std::fprintf(out, "      `pxr reclaim` would return them (except those waiting in a queue)\n");
}

std::string json_texts(const std::vector<std::string> &v) {
    std::string out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) out += ',';
        out += json_string(v[i].c_str());
    }
    return out + "]";
}

const char *verdict(const EnvironmentCheck &c) {
    if (!c.present) return "absent";
    if (c.busy && c.problems.empty()) return "busy";
    return c.consistent() ? "consistent" : "damaged";
}

const char *kHelp =
    "usage: pxr check [--json]\n"
    "Walks both partitions read-only and accounts for every buffer: on the free list or\n"
    "allocated (by which process; buffers whose holders are all gone are the ones `pxr reclaim`\n"
    "returns). On a running environment a walk showing problems is repeated (every 0.1 s, for up\n"
    "to 2 s) until three walks in a row agree. Exit status 0 consistent, 1 damaged, 2 no\n"
    "environment, 3 busy (the walks kept changing: run it again when traffic is lower),\n"
    "64 usage.\n";

} // namespace

void print_check(FILE *out, const EnvironmentCheck &check) {
    if (!check.present) {
        std::fprintf(out, "No environment.\n");
        return;
    }
    const bool busy = std::strcmp(verdict(check), "busy") == 0;
    for (const PartitionCheck &p : check.partitions) {
        if (!p.present) {
            std::fprintf(out, "Partition[%d] - Not defined.\n", p.partition);
            continue;
        }
        std::fprintf(out, "Partition[%d]: %d buffers of %u parameter bytes, %s form\n", p.partition,
                     p.num_msgs, p.param_size, p.atomic ? "lock-free" : "locked");
        std::fprintf(out, "    on the free list:     %u\n", p.on_free_list);
        std::fprintf(out, "    allocated:            %u (alloc_count %u)\n", p.allocated,
                     p.alloc_count);
        print_pids(out, "allocated by", p.allocators);
        print_pids(out, "last received by", p.receivers);
        print_held_by_gone(out, p);
        std::fprintf(out, "    in neither place:     %u\n", p.in_neither);
        std::fprintf(out, "    in both places:       %u\n", p.in_both);
        std::fprintf(out, "    links out of range:   %u\n", p.bad_links);
        std::fprintf(out, "    cycle in the list:    %s\n", p.cycle ? "yes" : "no");
        std::fprintf(out, "    damaged guards:       %u\n", p.damaged_guards);
        for (const std::string &s : p.problems)
            std::fprintf(out, "    %s %s\n", busy ? "changing:" : "PROBLEM:", s.c_str());
    }
    for (const std::string &s : check.problems) std::fprintf(out, "PROBLEM: %s\n", s.c_str());
    std::fprintf(out, "Records waiting in module queues: %u\n", check.queued_records);
    if (check.dropped_records > 0)
        std::fprintf(out, "Records dropped by receives (naming no buffer): %lld\n",
                     static_cast<long long>(check.dropped_records));
    if (busy)
        std::fprintf(out, "BUSY: %u walks, none consistent and no two alike; not judged.\n",
                     check.snapshots);
    else
        std::fprintf(out, "%s\n", check.consistent() ? "Consistent." : "INCONSISTENT.");
}

void print_check_json(FILE *out, const EnvironmentCheck &check) {
    std::fprintf(out,
                 "{\"result\":\"%s\",\"atomic\":%s,\"walks\":%u,\"queued_records\":%u,"
                 "\"dropped_records\":%lld,",
                 verdict(check), check.atomic ? "true" : "false", check.snapshots,
                 check.queued_records, static_cast<long long>(check.dropped_records));
    std::fprintf(out, "\"problems\":%s,\"partitions\":[", json_texts(check.problems).c_str());
    bool first = true;
    for (const PartitionCheck &p : check.partitions) {
        if (!p.present) continue;
        std::fprintf(out,
                     "%s{\"partition\":%d,\"buffers\":%d,\"param_size\":%u,\"on_free_list\":%u,"
                     "\"allocated\":%u,\"alloc_count\":%u,\"in_neither\":%u,\"in_both\":%u,"
                     "\"bad_links\":%u,\"cycle\":%s,\"damaged_guards\":%u,\"held_by_gone\":[",
                     first ? "" : ",", p.partition, p.num_msgs, p.param_size, p.on_free_list,
                     p.allocated, p.alloc_count, p.in_neither, p.in_both, p.bad_links,
                     p.cycle ? "true" : "false", p.damaged_guards);
        for (std::size_t i = 0; i < p.held_by_gone.size(); ++i)
            std::fprintf(out, "%s{\"slot\":%u,\"pid\":%d}", i ? "," : "", p.held_by_gone[i].slot,
                         int(p.held_by_gone[i].pid));
        std::fprintf(out, "],\"problems\":%s}", json_texts(p.problems).c_str());
        first = false;
    }
    std::fprintf(out, "]}\n");
}

int cmd_check(int argc, char **argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (is_help(argv[i])) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "--json") != 0) {
            std::fprintf(stderr, "pxr check: unexpected argument '%s'\n%s", argv[i], kHelp);
            return kExitUsage;
        }
        json = true;
    }
    EnvironmentCheck check;
    const int rc = check_environment(check);
    if (rc == kCheckAbsent && !json) {
        std::fprintf(stderr, "pxr check: %s\n", kNoEnvironment);
        return rc;
    }
    if (json)
        print_check_json(stdout, check);
    else
        print_check(stdout, check);
    return rc;
}

} // namespace pxrtool
