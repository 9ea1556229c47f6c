# Driver code (cdc/, common/) is Windows kernel code: WDK headers only, no C++
# standard library, no exceptions or RTTI, and warnings are errors. The same
# flags serve every compiler that checks the driver.
set(ACM_KERNEL_CODE_FLAGS -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
                          -Wall -Wextra -Werror -Wno-unused-parameter)
function(acm_kernel_code target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/include)
  target_compile_options(${target} PRIVATE ${ACM_KERNEL_CODE_FLAGS} -fvisibility=hidden)
endfunction()

# The driver's source files, absolute, as the driver module is built from
# them: checks that compile the driver another way start from this list.
function(acm_driver_sources out_var)
  set(sources)
  foreach(target acmserial_objects dc_common)
    get_target_property(target_sources ${target} SOURCES)
    get_target_property(target_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS target_sources)
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${target_dir})
      list(APPEND sources ${source})
    endforeach()
  endforeach()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()
