# The framework's I/O side: queues, requests, spin and wait locks, DPCs,
# timers and work items.
target_sources(wdkhost PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/queue_hooks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dpc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workitem.cpp
)
