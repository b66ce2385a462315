// The groups of an environment as the tools see them (groups.h).
#include "groups.h"

#include "view.h"

#include <atomic>
#include <cstdio>

namespace pxrtool {

namespace {

// The groups' area of a mapped segment, or null when it is absent, short or of another version.
const GroupArea *group_area(const Segment &segment) {
    const auto *area = segment.as<GroupArea>();
    return area != nullptr && area->version == PXR_GROUP_VERSION ? area : nullptr;
}

} // namespace

SharesView::SharesView() : segment_(Segment::open(PXR_KEY_GROUPS)) {
    const GroupArea *area = group_area(segment_);
    if (area == nullptr) return;
    const uint64_t n0 = area->num_msgs[0], n1 = area->num_msgs[1];
    if (sizeof(GroupArea) + (n0 + n1) * sizeof(ShareRecord) > segment_.size()) return;
    shares_ = reinterpret_cast<const ShareRecord *>(area + 1);
    covered_[0] = uint32_t(n0);
    covered_[1] = uint32_t(n1);
}

const ShareRecord *SharesView::of(int p, uint32_t index) const {
    if (shares_ == nullptr || p < 0 || p > 1 || index >= covered_[p]) return nullptr;
    const ShareRecord *r = &shares_[(p == 0 ? 0 : covered_[0]) + index];
    return __atomic_load_n(&r->count, __ATOMIC_RELAXED) != 0 ? r : nullptr;
}

std::vector<GroupRow> group_rows() {
    std::vector<GroupRow> rows;
    const Segment segment = Segment::open(PXR_KEY_GROUPS);
    const GroupArea *area = group_area(segment);
    if (area == nullptr) return rows;
    for (uint32_t m = 0; m < PXR_MODULE_COUNT; ++m) {
        const GroupRecord &g = area->groups[m];
        const uint8_t n = g.count;
        if (n == 0 || n > PXR_GROUP_MEMBERS) continue;
        GroupRow row;
        row.module = m;
        row.members.assign(g.members, g.members + n);
        row.all_or_nothing = g.all_or_nothing != 0;
        row.sends = __atomic_load_n(&g.sends, __ATOMIC_RELAXED);
        for (int k = 0; k < n; ++k)
            row.dropped.push_back(__atomic_load_n(&g.dropped[k], __ATOMIC_RELAXED));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string member_list(const GroupRow &row) {
    std::string out;
    for (uint8_t m : row.members) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%s0x%x", out.empty() ? "" : " ", unsigned(m));
        out += buf;
    }
    return out;
}

std::string groups_json(const std::vector<GroupRow> &rows, const char *first) {
    std::string out = "[";
    for (const GroupRow &r : rows) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s{%s\"module\":%u,\"all_or_nothing\":%s,\"sends\":%u,",
                      out.size() > 1 ? "," : "", first, r.module,
                      r.all_or_nothing ? "true" : "false", r.sends);
        out += buf;
        std::string members = "\"members\":[", dropped = "\"dropped\":[";
        for (std::size_t k = 0; k < r.members.size(); ++k) {
            members += (k ? "," : "") + std::to_string(r.members[k]);
            dropped += (k ? "," : "") + std::to_string(r.dropped[k]);
        }
        out += members + "]," + dropped + "]}";
    }
    return out + "]";
}

} // namespace pxrtool
