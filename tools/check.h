// Integrity check of the buffer partitions: walks the free lists and the slots of both
// partitions without changing anything and accounts for every buffer exactly once.
//
// Each walk works on a snapshot copied out of shared memory. On a running environment a copy
// can catch a take or a release half done, so a snapshot that shows problems counts only once
// the next two snapshots, taken moments apart, are identical; an environment whose snapshots keep
// changing without one coming out consistent is reported busy, not damaged.
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

// An allocated buffer whose holders (its allocator, or its last sender and receiver once it was
// sent) have all ended.
struct HeldBuffer {
    uint32_t slot = 0;
    int32_t pid = 0; // the holder named first
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

    std::vector<PidCount> allocators;     // allocated buffers by getmem_pid
    std::vector<PidCount> receivers;      // allocated buffers by receive_pid (0 = not received)
    std::vector<HeldBuffer> held_by_gone; // buffers `pxr reclaim` would return
    std::vector<std::string> problems;

    bool consistent() const { return problems.empty(); }
};

struct EnvironmentCheck {
    bool present = false; // a common area exists
    bool atomic = false;
    bool busy = false;      // snapshots kept changing and none was consistent
    uint32_t snapshots = 0; // walks made
    PartitionCheck partitions[2];
    uint32_t queued_records = 0;  // records waiting in the module queues (own queues only)
    int64_t dropped_records = -1; // records receives dropped (-1: no extension area)
    std::vector<std::string> problems;

    bool consistent() const;
};

// A copy of one partition's header and of every slot's system header and rear guard. geometry
// holds a problem when the header's geometry leaves no slot to copy.
struct SlotView {
    SysMsg sys;
    uint32_t rear_guard;
};
struct PartitionSnapshot {
    PartitionHeader header{};
    std::vector<SlotView> slots;
    std::string geometry;
    bool same_as(const PartitionSnapshot &other) const;
};

// Copies a partition mapped in memory; array_bytes is the size of the mapped array, so that a
// damaged header cannot lead the copy outside it.
PartitionSnapshot snapshot_partition(const PartitionHeader *header, const uint8_t *array,
                                     std::size_t array_bytes);

// Checks one snapshot.
PartitionCheck check_snapshot(int partition, const PartitionSnapshot &snap, bool atomic);

// snapshot_partition + check_snapshot.
PartitionCheck check_partition(int partition, const PartitionHeader *header, const uint8_t *array,
                               std::size_t array_bytes, bool atomic);

// Results of check_environment (and exit statuses of `pxr check`).
inline constexpr int kCheckConsistent = 0;
inline constexpr int kCheckDamaged = 1;
inline constexpr int kCheckAbsent = 2;
inline constexpr int kCheckBusy = 3;

// Maps the environment's common area and partitions read-only by their keys (no attach, no
// lock) and checks both partitions, repeating the snapshot (up to attempts times, pause_ms
// apart) until one is consistent or three in a row are identical; otherwise busy.
int check_environment(EnvironmentCheck &out, int attempts = 20, int pause_ms = 100);

// The report as text, or as one JSON object.
void print_check(FILE *out, const EnvironmentCheck &check);
void print_check_json(FILE *out, const EnvironmentCheck &check);

// `pxr check [--json]`; the exit status is check_environment's result.
int cmd_check(int argc, char **argv);

} // namespace pxrtool
