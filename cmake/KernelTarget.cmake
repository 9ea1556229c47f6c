# Driver code (cdc/, common/) is Windows kernel code: WDK headers only, no C++
# standard library, no exceptions or RTTI, and warnings are errors. The same
# flags serve every compiler that checks the driver.
set(ACM_KERNEL_CODE_FLAGS -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
                          -Wall -Wextra -Werror)
function(acm_kernel_code target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/include)
  target_compile_options(${target} PRIVATE ${ACM_KERNEL_CODE_FLAGS} -fvisibility=hidden)
endfunction()

# The driver's source files, absolute, and the driver's own include
# directories (the WDK headers of host/include left out), as the driver
# module is built from them: checks that compile the driver another way
# start from these lists.
set(ACM_DRIVER_TARGETS acmserial_objects dc_common)
function(acm_driver_sources out_var)
  set(sources)
  foreach(target IN LISTS ACM_DRIVER_TARGETS)
    get_target_property(target_sources ${target} SOURCES)
    get_target_property(target_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS target_sources)
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${target_dir})
      list(APPEND sources ${source})
    endforeach()
  endforeach()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()

function(acm_driver_include_dirs out_var)
  set(dirs)
  foreach(target IN LISTS ACM_DRIVER_TARGETS)
    get_target_property(target_dirs ${target} INCLUDE_DIRECTORIES)
    list(APPEND dirs ${target_dirs})
  endforeach()
  list(REMOVE_ITEM dirs ${PROJECT_SOURCE_DIR}/host/include)
  list(REMOVE_DUPLICATES dirs)
  list(TRANSFORM dirs PREPEND -I)
  set(${out_var} ${dirs} PARENT_SCOPE)
endfunction()
