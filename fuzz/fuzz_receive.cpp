// The receive path fed arbitrary queue records: a real environment in the process's own IPC
// namespace (run it under tests/ipcns.sh), a record of any type and length put into a module
// queue, then PXR_grab. A MSG handed out must be a buffer slot of an attached partition; a
// record that cannot be taken whole detaches the process, which is undone for the next input.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/msg.h>

namespace {

constexpr uint32_t kQueue = 10;
int queue_id = -1;

struct Raw {
    long mtype;
    uint8_t text[64];
};

void drain() {
    Raw r;
    while (msgrcv(queue_id, &r, sizeof r.text, 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (PXR_init(PXR_INIT_CREATE, 0, 0) != 0) {
        fprintf(stderr, "fuzz_receive: an environment exists; run under tests/ipcns.sh\n");
        exit(1);
    }
    if (PXR_open_partition(0, 8, 16, 0, 0, PXR_OPEN_CREATE) != 0 ||
        PXR_open_partition(1, 4, 64, 0, 0, PXR_OPEN_CREATE) != 0 || IPC_create(kQueue, 1) != 0)
        exit(1);
    PXR_admit_attachers();
    queue_id = int(common_ptr->module_queues[kQueue].msqid);
    atexit([] { PXR_close(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    Raw r;
    r.mtype = 1 + data[0] % 4;
    const size_t len = (size - 1) < sizeof r.text ? size - 1 : sizeof r.text;
    std::memcpy(r.text, data + 1, len);
    if (msgsnd(queue_id, &r, len, IPC_NOWAIT) != 0) return 0;

    uint16_t index, partition;
    std::memcpy(&index, r.text, 2);
    std::memcpy(&partition, r.text + 2, 2);
    MSG *m = PXR_grab(kQueue);
    if (m != nullptr) {
        if (len != 12 || partition > 1 || partition_hdr[partition] == nullptr) abort();
        if (int32_t(index) >= partition_hdr[partition]->num_msgs) abort();
        if (m != pxr_impl::msg_of(pxr_impl::slot_at(partition, index))) abort();
        if (pxr_impl::slot_of(m)->receive_pid != my_pid) abort();
    } else if (len == 12) {
        if (partition <= 1 && int32_t(index) < (partition == 0 ? 8 : 4)) abort();
    }
    if (common_ptr == nullptr) {
        // A longer record stays at the head of the queue and detached the process.
        if (len <= 12 || PXR_sys_failure != 1) abort();
        drain();
        if (PXR_link() != 0) abort();
    } else if (len > 12) {
        abort();
    }
    drain();
    return 0;
}
