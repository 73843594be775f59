# The library's own sources, shared by the POSIX and the Windows builds.
set(ZVT_CORE_SOURCES
  api/inner_operations.cc
  bypass/app_adm_reg_bypass.cc
  cache/denied_set.cc
  cache/hierarchy_groups.cc
  cache/host_value_load.cc
  cache/process_cache.cc
  cache/registry_cache.cc
  cache/registry_keys.cc
  cache/registry_values.cc
  cache/registry_layout.cc
  diag/error_records.cc
  hierarchy/builtin_functions.cc
  hierarchy/client_functions.cc
  hierarchy/hierarchy_map.cc
  hierarchy/resource_libraries.cc
  host/admin_timestamps.cc
  host/function_list.cc
  host/list_formats.cc
  host/usage_list.cc)
list(TRANSFORM ZVT_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
set(ZVT_SEAM_SOURCES app.cc app_adm_mutex.cc locked_frame.cc message_format.cc resource_context.cc
                      services.cc)
list(TRANSFORM ZVT_SEAM_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/services/)
