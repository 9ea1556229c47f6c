/*
 * The port's settings from the registry: the initial line coding from the
 * system's COM-port settings (the Ports key's "COMn:" value) and the
 * device's options in its hardware key.
 */
#include "acm_serial.h"
#include "cdc_protocol.h"

DECLARE_CONST_UNICODE_STRING(acm_ports_key,
                             L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports");

/* KEY_READ with the set-value and create-subkey rights. */
#define ACM_PORTS_KEY_ACCESS 0x2001F

/* Room for the value's partial information, header included. */
#define ACM_REGISTRY_VALUE_BUFFER 128

/* --- The system's COM-port settings ------------------------------------ */

NTSTATUS acm_registry_query_value(PCUNICODE_STRING key_path, PCUNICODE_STRING value_name,
                                  PVOID buffer, ULONG size, PVOID* data, PULONG data_length)
{
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG result_length;
    NTSTATUS status;

    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)key_path,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&key, ACM_PORTS_KEY_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwQueryValueKey(key, (PUNICODE_STRING)value_name, KeyValuePartialInformation, buffer,
                             size, &result_length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *data = info->Data;
    *data_length = info->DataLength;
    return STATUS_SUCCESS;
}

NTSTATUS acm_line_coding_from_registry(PACM_FDO_DATA fdx)
{
    WCHAR name_buffer[64];
    UNICODE_STRING value_name = { 0, sizeof(name_buffer), name_buffer };
    ULONG buffer[ACM_REGISTRY_VALUE_BUFFER / sizeof(ULONG)];
    UNICODE_STRING settings;
    PVOID data;
    ULONG data_length;
    NTSTATUS status;

    status = RtlUnicodeStringPrintf(&value_name, L"%wZ:", &fdx->port_name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = acm_registry_query_value(&acm_ports_key, &value_name, buffer, sizeof(buffer), &data,
                                      &data_length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    /* The data need not end in a NUL: the parse stops at its end. */
    settings.Buffer = (PWCH)data;
    settings.Length = settings.MaximumLength = (USHORT)(data_length & ~1UL);
    return acm_parse_port_settings(&settings, fdx) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

/* The character at `i`, or NUL at and beyond the end of the string. */
static WCHAR acm_char_at(PCUNICODE_STRING s, ULONG i)
{
    return i < s->Length / sizeof(WCHAR) ? s->Buffer[i] : UNICODE_NULL;
}

/*
 * "rate,parity,data bits,stop bits", e.g. "9600,n,8,1". The numbers are
 * accumulated as digits whatever their characters are; only lower-case
 * parity letters are known. Nothing is stored unless the whole parse works.
 */
BOOLEAN acm_parse_port_settings(PCUNICODE_STRING s, PACM_FDO_DATA fdx)
{
    ULONG rate = 0;
    UCHAR parity;
    UCHAR data_bits = 0;
    UCHAR stop_bits;
    ULONG i = 0;
    WCHAR c;

    for (; (c = acm_char_at(s, i)) != L','; i++) {
        if (c == UNICODE_NULL) {
            return FALSE;
        }
        rate = rate * 10 + (c - L'0');
    }
    i++;

    switch (acm_char_at(s, i)) {
    case UNICODE_NULL: return FALSE;
    case L'o': parity = CDC_PARITY_ODD; break;
    case L'e': parity = CDC_PARITY_EVEN; break;
    case L'm': parity = CDC_PARITY_MARK; break;
    case L's': parity = CDC_PARITY_SPACE; break;
    default: parity = CDC_PARITY_NONE; break;
    }
    i++;

    /* The separator after the parity letter is taken unseen. */
    if (acm_char_at(s, i) == UNICODE_NULL || acm_char_at(s, i + 1) == UNICODE_NULL) {
        return FALSE;
    }
    i++;

    for (; (c = acm_char_at(s, i)) != L','; i++) {
        if (c == UNICODE_NULL) {
            return FALSE;
        }
        data_bits = (UCHAR)(data_bits * 10 + (c - L'0'));
    }
    i++;

    switch (acm_char_at(s, i)) {
    case UNICODE_NULL:
        return FALSE;
    case L'1':
        stop_bits = acm_char_at(s, i + 1) == L'.' && acm_char_at(s, i + 2) == L'5'
                        ? CDC_STOP_BITS_1_5
                        : CDC_STOP_BITS_1;
        break;
    case L'2':
        stop_bits = CDC_STOP_BITS_2;
        break;
    default:
        stop_bits = CDC_STOP_BITS_1;
        break;
    }

    fdx->line_coding.dwDTERate = rate;
    fdx->line_coding.bCharFormat = stop_bits;
    fdx->line_coding.bParityType = parity;
    fdx->line_coding.bDataBits = data_bits;
    return TRUE;
}

/* --- Options ------------------------------------------------------------- */

/* A value that cannot be read counts as 0. */
static ULONG acm_read_option(PACM_FDO_DATA fdx, PCUNICODE_STRING name)
{
    ULONG value = 0;

    if (!NT_SUCCESS(dc_registry_read_device_ulong(fdx->common.device, name, &value))) {
        value = 0;
    }
    return value;
}

VOID acm_set_clear_data_op(PACM_FDO_DATA fdx)
{
    DECLARE_CONST_UNICODE_STRING(name, L"CallClearData");

    fdx->call_clear_data = acm_read_option(fdx, &name);
    DC_PRINT(DC_LEVEL_INFO, "%s: call_clear_data %ld\n", __FUNCTION__, fdx->call_clear_data);
}

VOID acm_set_clear_dtr_op(PACM_FDO_DATA fdx)
{
    DECLARE_CONST_UNICODE_STRING(name, L"DontClearDtr");

    fdx->dont_clear_dtr = acm_read_option(fdx, &name);
    DC_PRINT(DC_LEVEL_INFO, "%s: dont_clear_dtr %ld\n", __FUNCTION__, fdx->dont_clear_dtr);
}
