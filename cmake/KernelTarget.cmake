# Driver code (cdc/, common/) is Windows kernel code: WDK headers only, no C++
# standard library, no exceptions or RTTI, and warnings are errors.
function(acm_kernel_code target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/include)
  target_compile_options(${target} PRIVATE
    -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fvisibility=hidden -Wall -Wextra -Werror -Wno-unused-parameter)
endfunction()
