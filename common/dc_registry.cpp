/*
 * Registry access of the common class layer, the driver's verbosity and the
 * optional device interface named by the device key.
 */
#include "common_class.h"

ULONG debug_level = DC_LEVEL_INFO;

NTSTATUS dc_open_registry_key(WDFDRIVER driver, WDFDEVICE device, PCUNICODE_STRING value_name,
                              WDFKEY* key)
{
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, %s parameter %ws\n", __FUNCTION__, "reading",
             value_name->Buffer);
    if (driver != NULL) {
        status = WdfDriverOpenParametersRegistryKey(driver, STANDARD_RIGHTS_ALL,
                                                    WDF_NO_OBJECT_ATTRIBUTES, key);
    } else {
        status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                          WDF_NO_OBJECT_ATTRIBUTES, key);
    }
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed opening reg key %lx\n", __FUNCTION__, status);
    }
    return status;
}

NTSTATUS dc_registry_rw_ulong(WDFDRIVER driver, WDFDEVICE device, PCUNICODE_STRING value_name,
                              PULONG value)
{
    WDFKEY key;
    ULONG read_value;
    NTSTATUS status;

    status = dc_open_registry_key(driver, device, value_name, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfRegistryQueryULong(key, value_name, &read_value);
    if (NT_SUCCESS(status)) {
        *value = read_value;
    } else {
        DC_PRINT(DC_LEVEL_NOTE, "%s: %s parameter %ws ended with %lx (probably doesn't exist)\n",
                 __FUNCTION__, "reading", value_name->Buffer, status);
    }
    WdfRegistryClose(key);
    return status;
}

NTSTATUS dc_registry_rw_unicode_str(WDFDRIVER driver, WDFDEVICE device,
                                    PCUNICODE_STRING value_name, PUNICODE_STRING value,
                                    PUSHORT value_length)
{
    WDFKEY key;
    USHORT length = 0;
    NTSTATUS status;

    status = dc_open_registry_key(driver, device, value_name, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfRegistryQueryUnicodeString(key, value_name, &length, value);
    if (NT_SUCCESS(status)) {
        value->Buffer[value->Length / sizeof(WCHAR)] = UNICODE_NULL;
        if (value_length != NULL) {
            *value_length = length;
        }
    } else {
        DC_PRINT(DC_LEVEL_NOTE, "%s: %s parameter %ws ended with %lx (probably doesn't exist)\n",
                 __FUNCTION__, "reading", value_name->Buffer, status);
    }
    WdfRegistryClose(key);
    return status;
}

NTSTATUS dc_registry_read_driver_ulong(WDFDRIVER driver, PCUNICODE_STRING value_name, PULONG value)
{
    return dc_registry_rw_ulong(driver, NULL, value_name, value);
}

NTSTATUS dc_registry_read_device_ulong(WDFDEVICE device, PCUNICODE_STRING value_name, PULONG value)
{
    return dc_registry_rw_ulong(NULL, device, value_name, value);
}

NTSTATUS dc_registry_read_device_unicode_str(WDFDEVICE device, PCUNICODE_STRING value_name,
                                             PUNICODE_STRING value)
{
    return dc_registry_rw_unicode_str(NULL, device, value_name, value, NULL);
}

VOID dc_driver_debug_level_init(WDFDRIVER driver)
{
    DECLARE_CONST_UNICODE_STRING(debug_level_name, L"DebugLevel");
    ULONG level;

    if (NT_SUCCESS(dc_registry_read_driver_ulong(driver, &debug_level_name, &level))) {
        /* Announced under the level in force until now. */
        DC_PRINT(DC_LEVEL_INFO, "%s: Debug Level set to %ld\n\n", __FUNCTION__, level);
        debug_level = level;
    } else {
        DC_PRINT(DC_LEVEL_NOTE, "%s: Debug Level is not set in registry, using default %ld\n\n",
                 __FUNCTION__, debug_level);
    }
}

/*
 * Converts `count` (2, 4 or 8) hexadecimal characters at `text`: they are
 * copied into a counted string of their own and converted there.
 */
static NTSTATUS guid_group_to_ulong(PCWCH text, ULONG count, PULONG value)
{
    WCHAR buffer[8];
    UNICODE_STRING group = { 0, sizeof(buffer), buffer };
    NTSTATUS status;

    switch (count) {
    case 8:
        status = RtlUnicodeStringPrintf(&group, L"%wc%wc%wc%wc%wc%wc%wc%wc", text[0], text[1],
                                        text[2], text[3], text[4], text[5], text[6], text[7]);
        break;
    case 4:
        status = RtlUnicodeStringPrintf(&group, L"%wc%wc%wc%wc", text[0], text[1], text[2], text[3]);
        break;
    default:
        status = RtlUnicodeStringPrintf(&group, L"%wc%wc", text[0], text[1]);
        break;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RtlUnicodeStringToInteger(&group, 16, value);
}

NTSTATUS common_class_string_to_guid(PCUNICODE_STRING text, GUID* guid)
{
    /* Character positions in "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; the
       braces and hyphens between them are not examined. */
    static const UCHAR data4_position[8] = { 20, 22, 25, 27, 29, 31, 33, 35 };
    const USHORT guid_text_bytes = 38 * sizeof(WCHAR);
    PCWCH chars = text->Buffer;
    GUID parsed;
    ULONG value;
    NTSTATUS status;

    if (text->Length != guid_text_bytes) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Wrong GUID length %hu\n", __FUNCTION__, text->Length);
        return STATUS_UNSUCCESSFUL;
    }

    status = guid_group_to_ulong(&chars[1], 8, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    parsed.Data1 = value;
    status = guid_group_to_ulong(&chars[10], 4, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    parsed.Data2 = (USHORT)value;
    status = guid_group_to_ulong(&chars[15], 4, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    parsed.Data3 = (USHORT)value;
    for (ULONG i = 0; i < RTL_NUMBER_OF(data4_position); i++) {
        status = guid_group_to_ulong(&chars[data4_position[i]], 2, &value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        parsed.Data4[i] = (UCHAR)value;
    }

    DC_PRINT(DC_LEVEL_TRACE,
             "%s: custom GUID - {%lx, %hx, %hx, {%hhx, %hhx, %hhx, %hhx, %hhx, %hhx, %hhx, %hhx}}\n",
             __FUNCTION__, parsed.Data1, parsed.Data2, parsed.Data3, parsed.Data4[0],
             parsed.Data4[1], parsed.Data4[2], parsed.Data4[3], parsed.Data4[4], parsed.Data4[5],
             parsed.Data4[6], parsed.Data4[7]);
    if (guid != NULL) {
        *guid = parsed;
    }
    return STATUS_SUCCESS;
}

NTSTATUS common_class_custom_guid_set(common_class_ctx* ctx)
{
    DECLARE_CONST_UNICODE_STRING(device_guid_name, L"DeviceGUID");
    WCHAR buffer[80];
    UNICODE_STRING text = { 0, 78 * sizeof(WCHAR), buffer };
    GUID guid;
    NTSTATUS status;

    if (!NT_SUCCESS(dc_registry_read_device_unicode_str(ctx->device, &device_guid_name, &text))) {
        return STATUS_SUCCESS;   /* no extra interface configured */
    }
    status = common_class_string_to_guid(&text, &guid);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to parse custom GUID %lx\n", __FUNCTION__, status);
        return status;
    }
    status = WdfDeviceCreateDeviceInterface(ctx->device, &guid, NULL);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to add custom GUID %lx\n", __FUNCTION__, status);
    }
    return status;
}
