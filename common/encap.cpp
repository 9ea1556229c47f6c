/*
 * The encapsulated command channel: SEND_ENCAPSULATED_COMMAND and
 * GET_ENCAPSULATED_RESPONSE through the bus's class requests, and WAIT
 * requests matched with the device's RESPONSE_AVAILABLE notifications.
 *
 * enc_ref_count is the number of announced responses minus the WAITs issued:
 * positive, that many announcements nobody has waited for; negative, that
 * many WAITs in encap_wait_queue. A WAIT that leaves the queue without a
 * response (cancelled, purged) gives its unit back, so that the next
 * announcement is kept for the next WAIT instead of being spent on nobody.
 */
#include "common_class.h"
#include "cdc_protocol.h"

typedef struct _enc_dpc_ctx_t {
    common_class_ctx* ctx;
} enc_dpc_ctx_t;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(enc_dpc_ctx_t, enc_dpc_get_ctx)

/* The wait queue's context: its cancellation callback finds the channel. */
typedef struct _encap_queue_ctx_t {
    common_class_ctx* ctx;
} encap_queue_ctx_t;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(encap_queue_ctx_t, encap_queue_get_ctx)

static EVT_WDF_DPC notify_enc_complete;
static EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE encap_evt_wait_canceled;

/* --- Commands and responses ---------------------------------------------- */

static NTSTATUS enc_send_command(common_class_ctx* ctx, dc_ioctl_req_t* req)
{
    ULONG done = 0;

    DC_PRINT(DC_LEVEL_TRACE, "%s: Send encapsulated command, length %lx\n", "enc_evt_ioctl",
             req->data_in_len);
    return ctx->bus_ifc.control_request(ctx->bus_ifc.Context, DC_DIRECTION_OUT,
                                        CDC_SEND_ENCAPSULATED_COMMAND, 0,
                                        (USHORT)req->data_in_len, req->data_in, &done, 0, 0);
}

static NTSTATUS enc_get_response(common_class_ctx* ctx, dc_ioctl_req_t* req)
{
    ULONG done = 0;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: Get encapsulated command, length %lx\n", "enc_evt_ioctl",
             req->data_out_len);
    status = ctx->bus_ifc.control_request(ctx->bus_ifc.Context, DC_DIRECTION_IN,
                                          CDC_GET_ENCAPSULATED_RESPONSE, 0,
                                          (USHORT)req->data_out_len, req->data_out, &done, 0, 0);
    req->data_out_len = done;
    return status;
}

static NTSTATUS enc_wait_response(WDFREQUEST request, common_class_ctx* ctx, dc_ioctl_req_t* req)
{
    NTSTATUS status;

    if (InterlockedDecrement(&ctx->enc_ref_count) >= 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: E RESPONSE is available, complete the request\n",
                 "enc_evt_ioctl");
        dc_record_store(req->record, FIELD_OFFSET(dc_ioctl_data, dc_status), DC_STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: wait for E RESPONSE - mark pending %p\n", "enc_evt_ioctl",
             request);
    status = WdfRequestForwardToIoQueue(request, ctx->encap_wait_queue);
    if (!NT_SUCCESS(status)) {
        /* Never queued: it waits for nothing. */
        InterlockedIncrement(&ctx->enc_ref_count);
        return status;
    }
    return STATUS_PENDING;
}

NTSTATUS enc_evt_ioctl(WDFREQUEST request, common_class_ctx* ctx, dc_ioctl_req_t* req, ULONG code)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, ioctl %s (0x%lx)\n", __FUNCTION__, dc_ioctl_name(code),
             code);
    switch (code) {
    case IOCTL_CDC_SEND_ENCAPSULATED_COMMAND:
        return enc_send_command(ctx, req);
    case IOCTL_CDC_GET_ENCAPSULATED_RESPONSE:
        return enc_get_response(ctx, req);
    case IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE:
        if (ctx->encap_wait_queue == NULL) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return enc_wait_response(request, ctx, req);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/* --- RESPONSE_AVAILABLE ------------------------------------------------------ */

/* Completes a WAIT with the outcome of fetching its record. */
static VOID enc_complete_wait(WDFREQUEST request)
{
    dc_ioctl_req_t req;
    NTSTATUS status = dc_ioctl_data_get(request, &req);

    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Could not get request memory buffer %lx\n",
                 "notify_enc_complete", status);
    }
    dc_ioctl_request_complete(request, status, &req);
}

/*
 * Takes the next WAIT into encap_pending_request under common_lock. A WAIT
 * still there from an earlier announcement whose DPC has not run yet is
 * handed back, for the caller to complete at once.
 */
static WDFREQUEST request_notify_enc_update_pending(common_class_ctx* ctx)
{
    WDFREQUEST earlier = NULL;
    WDFREQUEST next = NULL;
    NTSTATUS status;

    status = WdfIoQueueRetrieveNextRequest(ctx->encap_wait_queue, &next);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: no pending WAIT ENCAPSULATED RESPONSE\n", __FUNCTION__);
        return NULL;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: request %p\n", __FUNCTION__, next);
    earlier = (WDFREQUEST)InterlockedExchangePointer((PVOID*)&ctx->encap_pending_request, next);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
    return earlier;
}

VOID cdc_notify_response_available(common_class_ctx* ctx, ULONG unused)
{
    WDFREQUEST earlier;
    LONG count;

    NT_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(unused);
    if (ctx->encap_wait_queue == NULL || ctx->encap_dpc == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: encapsulated channel not set up\n", __FUNCTION__);
        return;
    }
    count = InterlockedIncrement(&ctx->enc_ref_count);
    DC_PRINT(DC_LEVEL_TRACE, "%s: Incremented, ref_count = %ld\n", __FUNCTION__, count);
    if (count > 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: no pending WAIT ENCAPSULATED RESPONSE\n", __FUNCTION__);
        return;
    }
    WdfSpinLockAcquire(ctx->common_lock);
    earlier = request_notify_enc_update_pending(ctx);
    WdfSpinLockRelease(ctx->common_lock);
    if (earlier != NULL) {
        enc_complete_wait(earlier);
    }
    WdfDpcEnqueue(ctx->encap_dpc);
}

static VOID notify_enc_complete(WDFDPC Dpc)
{
    enc_dpc_ctx_t* dpc_ctx = enc_dpc_get_ctx(Dpc);
    common_class_ctx* ctx = dpc_ctx != NULL ? dpc_ctx->ctx : NULL;
    WDFREQUEST request;

    if (ctx == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed to get context\n", __FUNCTION__);
        return;
    }
    request = (WDFREQUEST)InterlockedExchangePointer((PVOID*)&ctx->encap_pending_request, NULL);
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, fdx %p, request %p\n", __FUNCTION__, ctx, request);
    if (request != NULL) {
        enc_complete_wait(request);
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}

/* A WAIT cancelled or purged off the queue gives back its unit. */
static VOID encap_evt_wait_canceled(WDFQUEUE Queue, WDFREQUEST Request)
{
    common_class_ctx* ctx = encap_queue_get_ctx(Queue)->ctx;
    LONG count = InterlockedIncrement(&ctx->enc_ref_count);

    DC_PRINT(DC_LEVEL_TRACE, "%s: request %p, ref_count = %ld\n", __FUNCTION__, Request, count);
    WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, 0);
}

/* --- Creation and teardown --------------------------------------------------- */

NTSTATUS encap_create_queues(common_class_ctx* ctx)
{
    WDF_IO_QUEUE_CONFIG queue_config;
    WDF_DPC_CONFIG dpc_config;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    if (ctx->encap_wait_queue != NULL && ctx->encap_dpc != NULL) {
        /* Prepared again after a release: the purged queue takes WAITs again. */
        WdfIoQueueStart(ctx->encap_wait_queue);
        return STATUS_SUCCESS;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&queue_config, WdfIoQueueDispatchManual);
    queue_config.EvtIoCanceledOnQueue = encap_evt_wait_canceled;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, encap_queue_ctx_t);
    status = WdfIoQueueCreate(ctx->device, &queue_config, &attributes, &ctx->encap_wait_queue);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfIoQueueCreate failed %lx\n", __FUNCTION__, status);
        ctx->encap_wait_queue = NULL;
        return status;
    }
    encap_queue_get_ctx(ctx->encap_wait_queue)->ctx = ctx;

    WDF_DPC_CONFIG_INIT(&dpc_config, notify_enc_complete);
    dpc_config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, enc_dpc_ctx_t);
    attributes.ParentObject = ctx->device;
    status = WdfDpcCreate(&dpc_config, &attributes, &ctx->encap_dpc);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDpcCreate failed %lx\n", __FUNCTION__, status);
        ctx->encap_dpc = NULL;
        return status;
    }
    enc_dpc_get_ctx(ctx->encap_dpc)->ctx = ctx;
    return STATUS_SUCCESS;
}

/* Only objects that were created are purged. */
VOID encap_purge_queues(common_class_ctx* ctx)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    if (ctx->encap_wait_queue != NULL) {
        WdfIoQueuePurge(ctx->encap_wait_queue, NULL, NULL);
    }
    if (ctx->encap_dpc != NULL) {
        WdfDpcCancel(ctx->encap_dpc, TRUE);
        /* A WAIT taken by an announcement whose DPC never ran. */
        WDFREQUEST request =
            (WDFREQUEST)InterlockedExchangePointer((PVOID*)&ctx->encap_pending_request, NULL);
        if (request != NULL) {
            enc_complete_wait(request);
        }
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}
