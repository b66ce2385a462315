// The permission of the environment's objects, chosen by the creator at run time.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <sys/sem.h>
#include <sys/shm.h>

namespace {

void set_sem_mode(int semid, int mode) {
    semid_ds ds{};
    if (semid < 0 || semctl(semid, 0, IPC_STAT, &ds) != 0) return;
    ds.sem_perm.mode = unsigned(mode);
    semctl(semid, 0, IPC_SET, &ds);
}

void set_shm_mode(int shmid, int mode) {
    shmid_ds ds{};
    if (shmid < 0 || shmctl(shmid, IPC_STAT, &ds) != 0) return;
    ds.shm_perm.mode = unsigned(mode);
    shmctl(shmid, IPC_SET, &ds);
}

} // namespace

/// Accepts 0600, 0660 and 0666 only; another mode is refused with -1 and changes nothing.
int PXR_set_access(uint32_t mode) noexcept {
    if (mode != 0600 && mode != 0660 && mode != 0666) return -1;
    pxr_impl::Attachment &self = pxr_impl::attachment;
    if (self.common == nullptr || !self.creator) return 1;
    if (pxr_impl::shared(self.common->flags).load() & CA_RUNNING) return 1;
    if (partition_hdr[0] != nullptr || partition_hdr[1] != nullptr || PXR_ring_capacity() > 0)
        return 1;
    for (const ModuleQueueEntry &e : self.common->module_queues)
        if (e.msqid != PXR_NO_QUEUE) return 1;
    pxr_impl::set_ipc_mode(int(mode));
    // What PXR_init has made already.
    set_sem_mode(self.system_lock, int(mode));
    set_sem_mode(self.common->fatal_semid, int(mode));
    set_shm_mode(self.common_id, int(mode));
    set_shm_mode(self.extension_id, int(mode));
    return 0;
}

int32_t PXR_access(void) noexcept {
    if (pxr_impl::attachment.common == nullptr) return -1;
    shmid_ds ds{};
    if (shmctl(pxr_impl::attachment.common_id, IPC_STAT, &ds) != 0) return -1;
    return int32_t(ds.shm_perm.mode & 0777);
}
