/*
 * Hardware preparation and release: the device is bound to the bus driver,
 * learns what the USB function supports from its CDC functional
 * descriptors, settles its initial line coding (from the device, else from
 * the system's COM-port settings), loads its options, builds the receive
 * ring and gives the bus driver its callbacks. I/O stays stopped until a
 * handle is open.
 */
#include "acm_file.h"
#include "acm_io.h"
#include "acm_power.h"
#include "cdc_protocol.h"

NTSTATUS acm_get_functional_descriptor(PACM_FDO_DATA fdx, UCHAR code, PVOID buffer, ULONG length)
{
    NTSTATUS status;

    status = fdx->common.bus_ifc.get_functional_descriptor(fdx->common.bus_ifc.Context, code,
                                                           buffer, &length);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_NOTE, "%s: couldn't find CDC functional desc, code %02x, status %lx\n",
                 __FUNCTION__, code, status);
    }
    return status;
}

/* bmCapabilities of the two descriptors, stored bit by bit as masked values;
   a descriptor that is not found leaves its flags 0. */
static VOID acm_read_capabilities(PACM_FDO_DATA fdx, PUCHAR call_mgmt_caps, PUCHAR acm_caps)
{
    UCHAR call_mgmt[CDC_CALL_MGMT_DESC_LENGTH] = { 0 };
    UCHAR acm[CDC_ACM_DESC_LENGTH] = { 0 };

    /* Read afresh at every preparation. */
    fdx->call_mgmt_by_device = fdx->call_mgmt_over_data = 0;
    fdx->acm_network_connection = fdx->acm_send_break = 0;
    fdx->acm_line_coding = fdx->acm_comm_feature = 0;

    if (NT_SUCCESS(acm_get_functional_descriptor(fdx, CDC_FD_CALL_MANAGEMENT, call_mgmt,
                                                 sizeof(call_mgmt)))) {
        *call_mgmt_caps = call_mgmt[CDC_FD_CAPABILITIES_OFFSET];
        fdx->call_mgmt_by_device = *call_mgmt_caps & CDC_CALL_MGMT_BY_DEVICE;
        fdx->call_mgmt_over_data = *call_mgmt_caps & CDC_CALL_MGMT_OVER_DATA;
    }
    if (NT_SUCCESS(acm_get_functional_descriptor(fdx, CDC_FD_ABSTRACT_CONTROL_MANAGEMENT, acm,
                                                 sizeof(acm)))) {
        *acm_caps = acm[CDC_FD_CAPABILITIES_OFFSET];
        fdx->acm_network_connection = *acm_caps & CDC_ACM_NETWORK_CONNECTION;
        fdx->acm_send_break = *acm_caps & CDC_ACM_SEND_BREAK;
        fdx->acm_line_coding = *acm_caps & CDC_ACM_LINE_CODING;
        fdx->acm_comm_feature = *acm_caps & CDC_ACM_COMM_FEATURE;
    }
}

/* From the device when it can report it, else from the Ports key; the
   defaults when neither works. */
static VOID acm_init_line_coding(PACM_FDO_DATA fdx)
{
    const BOOLEAN from_device = fdx->acm_line_coding != 0;
    NTSTATUS status;

    if (from_device) {
        status = acm_req_get_line_coding(fdx, &fdx->line_coding, FALSE);
    } else {
        status = acm_line_coding_from_registry(fdx);
    }
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed getting line coding from %s %lx, using defaults\n",
                 "acm_evt_dev_prepare_hardware", from_device ? "device" : "OS", status);
        acm_line_coding_set_defaults(fdx);
    }
    DC_PRINT(DC_LEVEL_INFO, "%s: baud rate %ld, stop bits %d, parity %d, data_bits %d\n",
             "acm_evt_dev_prepare_hardware", fdx->line_coding.dwDTERate,
             fdx->line_coding.bCharFormat, fdx->line_coding.bParityType,
             fdx->line_coding.bDataBits);
}

NTSTATUS acm_evt_dev_prepare_hardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                      WDFCMRESLIST ResourcesTranslated)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    PDC_ENUMERATOR_INTERFACE bus;
    UCHAR call_mgmt_caps = 0;
    UCHAR acm_caps = 0;
    ULONG hold;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, Device);

    status = common_class_ctx_init(Device, &fdx->common, TRUE, TRUE, TRUE, acm_device_wakeup_cb,
                                   acm_child_device_wakeup_cb);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to initialize common class context\n", __FUNCTION__);
        return status;
    }
    bus = &fdx->common.bus_ifc;

    /* Every yes/no capability stays the framework's; the function has no
       address of its own; its UI number is the one the bus gives it. */
    WDF_DEVICE_PNP_CAPABILITIES pnp_caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp_caps);
    pnp_caps.Address = 0xFFFFFFFF;
    pnp_caps.UINumber = bus->get_ui_number(bus->Context);
    WdfDeviceSetPnpCapabilities(Device, &pnp_caps);

    acm_read_capabilities(fdx, &call_mgmt_caps, &acm_caps);
    DC_PRINT(DC_LEVEL_INFO, "%s: CALL MGMT bmCapabilities %02x, ACM bmCapabilities %02x\n",
             __FUNCTION__, call_mgmt_caps, acm_caps);
    DC_PRINT(DC_LEVEL_INFO, "%s: getting line coding from %s\n", __FUNCTION__,
             fdx->acm_line_coding ? "device" : "registry");

    if (fdx->is_serial_ctrl) {
        /* The control device keeps a zero line coding, handflow and options. */
        fdx->serial_ctrl_enabled = FALSE;
    } else {
        fdx->serial_ctrl_enabled = bus->is_ctrl_dev_enabled(bus->Context);
        acm_init_line_coding(fdx);
        acm_handflow_set_defaults(fdx);
        acm_set_clear_data_op(fdx);
        acm_set_clear_dtr_op(fdx);
    }

    fdx->create_file_in_progress = 0;
    status = acm_read_buffer_init(fdx);
    if (!NT_SUCCESS(status)) {
        /* A failed preparation leaves no binding behind; the release that
           may follow finds the interface already given back. */
        (VOID)common_class_ctx_uninit(&fdx->common);
        return status;
    }

    InterlockedExchange(&fdx->is_io_stopped, 1);
    hold = common_class_ctrl_dev_hold_child_if_in_use(&fdx->common);
    bus->register_callbacks(bus->Context, hold, acm_io_start_cb, acm_io_stop_cb, acm_is_in_use_cb,
                            acm_io_suspend_cb, acm_io_resume_cb, fdx);
    DC_PRINT(DC_LEVEL_TRACE, "%s: I/O callbacks registered, hold child %ld\n", __FUNCTION__, hold);

    (VOID)acm_create_read_in_workitem(Device, &fdx->read_in_workitem, acm_read_in_workitem_cb);
    return STATUS_SUCCESS;
}

/*
 * Undoes the binding: the bus forgets the callbacks, an open that the
 * removal overtook ends while the bus still answers, the interface goes
 * back, and the read-in work item is finished and discarded (the next
 * preparation creates its own).
 */
NTSTATUS acm_evt_dev_release_hardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;
    NTSTATUS status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(ResourcesTranslated);
    DC_PRINT(DC_LEVEL_TRACE, "---> %ws TID=0x%p [%s():%d]\n", fdx->port_name.Buffer,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);

    if (bus->Context == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: bus interface was not initialized\n", __FUNCTION__);
    } else {
        bus->unregister_callbacks(bus->Context);
        acm_evt_file_cleanup_device(Device);
        status = common_class_ctx_uninit(&fdx->common);
        if (fdx->read_in_workitem != NULL) {
            WdfWorkItemFlush(fdx->read_in_workitem);
            InterlockedExchange(&fdx->read_in_workitem_queued, 0);
            WdfObjectDelete(fdx->read_in_workitem);
            fdx->read_in_workitem = NULL;
        }
    }

    DC_PRINT(DC_LEVEL_TRACE, "<--- status=%lx TID=0x%p [%s():%d]\n", status, KeGetCurrentThread(),
             __FUNCTION__, __LINE__);
    return status;
}

/* --- The read-in work item ---------------------------------------------- */

NTSTATUS acm_create_read_in_workitem(WDFDEVICE device, WDFWORKITEM* workitem, PFN_WDF_WORKITEM callback)
{
    WDF_WORKITEM_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    WDF_WORKITEM_CONFIG_INIT(&config, callback);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfWorkItemCreate(&config, &attributes, workitem);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfWorkItemCreate failed 0x%x\n", __FUNCTION__, status);
        *workitem = NULL;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: ended with status %x\n", __FUNCTION__, status);
    return status;
}

/* Restarts the data-in stream at PASSIVE_LEVEL after a purge. */
VOID acm_read_in_workitem_cb(WDFWORKITEM WorkItem)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfWorkItemGetParentObject(WorkItem));

    acm_read_data_in(fdx);
    InterlockedExchange(&fdx->read_in_workitem_queued, 0);
}
