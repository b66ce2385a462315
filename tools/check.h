// Integrity check of the buffer partitions: walks the free lists and the slots of both
// partitions without changing anything and accounts for every buffer exactly once.
//
// The walk is a snapshot: it is exact only while no process allocates or releases. Run it on
// a quiet environment (after the traffic, or with the applications stopped); while traffic
// goes on a report of problems may be a race with the walk rather than damage.
#pragma once

#include "pxrlib.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pxrtool {

// Buffers attributed to one process id.
struct PidCount {
    int32_t pid = 0;
    uint32_t buffers = 0;
    bool alive = false; // the process still exists
};

struct PartitionCheck {
    int partition = 0;
    bool present = false; // the partition exists (header and message array mapped)
    bool atomic = false;  // lock-free form of the free list
    int32_t num_msgs = 0;
    uint32_t param_size = 0;

    uint32_t on_free_list = 0; // reachable from free_head and not marked allocated
    uint32_t allocated = 0;    // not on the list and marked allocated
    uint32_t in_neither = 0;   // not on the list and not marked allocated: lost
    uint32_t in_both = 0;      // on the list and marked allocated
    uint32_t bad_links = 0;    // list words naming a slot beyond num_msgs
    bool cycle = false;        // the list runs into itself
    uint32_t alloc_count = 0;  // the header's counter as read
    uint32_t damaged_guards = 0;
    uint32_t bad_identity = 0; // slots whose index or partition field is wrong

    std::vector<PidCount> allocators; // allocated buffers by getmem_pid
    std::vector<PidCount> receivers;  // allocated buffers by receive_pid (0 = not received)
    std::vector<std::string> problems;

    bool consistent() const { return problems.empty(); }
};

struct EnvironmentCheck {
    bool present = false; // a common area exists
    bool atomic = false;
    PartitionCheck partitions[2];
    uint32_t queued_records = 0; // records waiting in the module queues (own queues only)
    std::vector<std::string> problems;

    bool consistent() const;
};

// Checks one partition given its header and message array as mapped in memory; array_bytes is
// the size of the mapped array, so that a damaged header cannot lead the walk outside it.
PartitionCheck check_partition(int partition, const PartitionHeader *header, const uint8_t *array,
                               std::size_t array_bytes, bool atomic);

// Maps the environment's common area and partitions read-only by their keys (no attach, no
// lock) and checks both partitions. Returns 0 when everything is consistent, 1 when a problem
// was found, 2 when there is no environment to check.
int check_environment(EnvironmentCheck &out);

// The report as text.
void print_check(FILE *out, const EnvironmentCheck &check);

// `pxr check`: prints the report; the exit status is check_environment's result.
int cmd_check(int argc, char **argv);

} // namespace pxrtool
