/* Source annotations carry no meaning for this compiler. */
#pragma once
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Out_writes_bytes_to_opt_(n, m)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_bytebuffer_(n)
#define _Outptr_opt_result_bytebuffer_(n)
#define _Printf_format_string_
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Function_class_(x)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Success_(x)
#define _Check_return_
#define _Post_satisfies_(x)
#define _When_(c, a)
#define _Field_size_bytes_(n)
#define _Field_size_bytes_part_(n, m)
#define _Strict_type_match_
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Analysis_assume_(x)
#define _Null_terminated_
#define _Maybenull_
#define _Reserved_
#define _Pre_notnull_
#define _Post_invalid_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Dispatch_type_(x)
