/*
 * The controls of the common class layer, reached through the serial
 * dispatcher: the record is resolved from the areas locked in the caller's
 * context, the common layer serves the control, and the request completes
 * with the outcome in the record unless the control kept it.
 */
#include "acm_ioctl.h"

VOID acm_common_ioctl(PACM_FDO_DATA fdx, ULONG code, WDFREQUEST request)
{
    dc_ioctl_req_t req;
    NTSTATUS status;

    status = dc_ioctl_data_get(request, &req);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Could not get request memory buffer %lx\n", __FUNCTION__,
                 status);
    } else {
        status = common_evt_ioctl(request, &fdx->common, &req, code);
        if (status == STATUS_PENDING) {
            return;
        }
    }
    dc_ioctl_request_complete(request, status, &req);
}
