// The groups of an environment as the tools see them: the groups' segment mapped read-only,
// each group with its members, its option and its counts.
#pragma once

#include "pxrlib.h"
#include "view.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pxrtool {

struct GroupRow {
    uint32_t module = 0;
    std::vector<uint8_t> members;
    bool all_or_nothing = false;
    uint32_t sends = 0;            // sends that reached at least one member
    std::vector<uint32_t> dropped; // per member: shares dropped, its queue full
};

// The shares of buffers sent to groups, read-only: what a check charges to each holder.
class SharesView {
  public:
    SharesView(); // maps the groups' segment when the environment has one
    // The share record of buffer index of partition p while the buffer is shared, else null.
    const ShareRecord *of(int p, uint32_t index) const;

  private:
    Segment segment_;
    const ShareRecord *shares_ = nullptr;
    uint32_t covered_[2] = {};
};

// The groups in module order; none when the environment has no group.
std::vector<GroupRow> group_rows();
// The rows as a JSON array; each object begins with first (a member and its comma, or empty).
std::string groups_json(const std::vector<GroupRow> &rows, const char *first = "");
// The members as text: "0x20 0x21 0x22".
std::string member_list(const GroupRow &row);

} // namespace pxrtool
