/*
 * CDC class requests: line coding, control lines and break reach the device
 * through the bus interface's control_request, which addresses them to the
 * function's communication interface. Each sender waits for its transfer
 * and wakes a suspended device first. A device that does not announce a
 * request in its ACM functional descriptor never receives it.
 */
#include "acm_serial.h"
#include "cdc_protocol.h"

NTSTATUS acm_class_request(PACM_FDO_DATA fdx, UCHAR direction, UCHAR request, USHORT value,
                           USHORT length, PVOID buffer, PULONG bytes_transferred, BOOLEAN wake)
{
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;

    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    if (wake) {
        common_class_child_device_wakeup_post(&fdx->common);
    }
    return bus->control_request(bus->Context, direction, request, value, length, buffer,
                                bytes_transferred, 0, 0);
}

/* SET_LINE_CODING sends the record, GET_LINE_CODING fills it. */
static NTSTATUS acm_line_coding_request(PACM_FDO_DATA fdx, UCHAR request, cdc_line_coding_t* line_coding,
                                        PULONG bytes_transferred, BOOLEAN wake)
{
    const UCHAR direction = (request == CDC_GET_LINE_CODING) ? DC_DIRECTION_IN : DC_DIRECTION_OUT;
    NTSTATUS status;

    status = acm_class_request(fdx, direction, request, 0, sizeof(*line_coding), line_coding,
                               bytes_transferred, wake);
    DC_PRINT(DC_LEVEL_TRACE, "%s: %s done, status %lx, bytes %lx, bytes_transferred %lx\n", __FUNCTION__,
             (request == CDC_GET_LINE_CODING) ? "GET_LINE_CODING" : "SET_LINE_CODING", status,
             (ULONG)sizeof(*line_coding), *bytes_transferred);
    return status;
}

/* A failure is only logged: the stored line coding stays what was set. */
NTSTATUS acm_req_set_line_coding(PACM_FDO_DATA fdx, cdc_line_coding_t* line_coding)
{
    ULONG bytes_transferred = 0;
    NTSTATUS status;

    if (!fdx->acm_line_coding) {
        return STATUS_SUCCESS;
    }
    status = acm_line_coding_request(fdx, CDC_SET_LINE_CODING, line_coding, &bytes_transferred, TRUE);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: the device refused SET_LINE_CODING, status %lx\n", __FUNCTION__,
                 status);
    }
    return STATUS_SUCCESS;
}

/* Fills the record in place; without the capability it is left as stored. */
NTSTATUS acm_req_get_line_coding(PACM_FDO_DATA fdx, cdc_line_coding_t* line_coding, BOOLEAN wake)
{
    ULONG bytes_transferred = 0;
    NTSTATUS status;

    if (!fdx->acm_line_coding) {
        return STATUS_NOT_SUPPORTED;
    }
    status = acm_line_coding_request(fdx, CDC_GET_LINE_CODING, line_coding, &bytes_transferred, wake);
    if (NT_SUCCESS(status) && bytes_transferred != sizeof(*line_coding)) {
        /* A short answer is no line coding. */
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

/* The bitmap becomes the stored state whether or not the device hears it. */
VOID acm_req_set_control_line_state(PACM_FDO_DATA fdx, USHORT bitmap)
{
    ULONG bytes_transferred = 0;

    fdx->control_line_state = bitmap;
    if (!fdx->acm_line_coding) {
        return;
    }
    (VOID)acm_class_request(fdx, DC_DIRECTION_OUT, CDC_SET_CONTROL_LINE_STATE, bitmap, 0, NULL,
                            &bytes_transferred, TRUE);
}

VOID acm_req_send_break(PACM_FDO_DATA fdx, BOOLEAN on)
{
    ULONG bytes_transferred = 0;

    if (!fdx->acm_send_break) {
        return;
    }
    (VOID)acm_class_request(fdx, DC_DIRECTION_OUT, CDC_SEND_BREAK,
                            on ? CDC_BREAK_UNTIL_STOPPED : CDC_BREAK_OFF, 0, NULL,
                            &bytes_transferred, TRUE);
}
