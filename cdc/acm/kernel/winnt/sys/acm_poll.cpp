/*
 * Waits for a state that another context brings about (a transfer's
 * completion, a delayed request, another caller's step) where there is no
 * event to wait on: the state is checked again and again, 1 ms apart.
 */
#include "acm_serial.h"

#define ACM_POLL_INTERVAL_US 1000

static VOID acm_poll_delay(VOID)
{
    LARGE_INTEGER interval;

    interval.QuadPart = -10LL * ACM_POLL_INTERVAL_US;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* Above PASSIVE_LEVEL nothing may wait: the checks run back to back. */
BOOLEAN acm_poll(PACM_FDO_DATA fdx, PFN_ACM_POLL_CONDITION done, ULONG max_checks)
{
    for (ULONG checks = 1;; checks++) {
        if (done(fdx)) {
            return TRUE;
        }
        if (checks == max_checks) {
            return FALSE;
        }
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            acm_poll_delay();
        }
    }
}
