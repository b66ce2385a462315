// The loader's configuration reader on arbitrary text: it accepts or rejects, never crashes,
// and what it accepts stays within the environment's limits.
#include "config.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    pxrtool::Config cfg;
    std::vector<std::string> errors;
    const bool ok = pxrtool::parse_config(
        std::string_view(reinterpret_cast<const char *>(data), size), "fuzz", cfg, errors);
    if (ok != errors.empty()) abort();
    if (!ok) return 0;
    for (const pxrtool::PartitionConfig &p : cfg.partitions)
        if (p.defined && (p.buffers < 1 || p.buffers > 65000)) abort();
    for (uint32_t q : cfg.queues)
        if (q > 254) abort();
    for (const pxrtool::AliasConfig &a : cfg.aliases)
        if (a.module > 254 || a.target > 254) abort();
    return 0;
}
