/*
 * Interim: the common class controls are refused until the common layer
 * serves them.
 */
#include "acm_ioctl.h"

VOID acm_common_ioctl(PACM_FDO_DATA fdx, ULONG code, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    UNREFERENCED_PARAMETER(fdx);
    UNREFERENCED_PARAMETER(code);
    ctx->status = STATUS_INVALID_DEVICE_REQUEST;
    ctx->information = 0;
    acm_request_complete(request);
}
