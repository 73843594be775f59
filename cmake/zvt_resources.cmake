# zvt_add_resource_library(TARGET FILE_NAME SOURCE)
#
# Builds a resource library named FILE_NAME (for example zvtadmrs.dll) from a
# text file of string resources, with any further sources given after it:
#   # a comment
#   16100 The function %1 of provider %2 has no name.
# Each line is a resource number, blanks, and the text (UTF-8; \n, \t and \\
# are escapes). The library exports the table that the module loader's
# LoadStringW reads; on Windows it holds the texts as a string table resource.
function(zvt_add_resource_library target file_name source)
  get_filename_component(source ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  if(WIN32)
    # On Windows the texts are a string table in the library's resources,
    # which LoadStringW reads.
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_strings.rc)
    add_custom_command(
      OUTPUT ${generated}
      COMMAND ${CMAKE_COMMAND} -DINPUT=${source} -DOUTPUT=${generated}
              -P ${PROJECT_SOURCE_DIR}/cmake/zvt_rc.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/cmake/zvt_rc.cmake ${source}
      COMMENT "Writing the string table of ${source}")
    add_library(${target} SHARED ${generated} ${ARGN})
    set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${file_name}
                                               LINKER_LANGUAGE CXX)
    target_link_options(${target} PRIVATE -static)
    return()
  endif()
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_strings.cc)
  add_custom_command(
    OUTPUT ${generated}
    COMMAND zvtrc ${source} ${generated}
    DEPENDS zvtrc ${source}
    COMMENT "Compiling string resources ${source}")
  add_library(${target} MODULE ${generated} ${ARGN})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${file_name}
                                             LIBRARY_OUTPUT_DIRECTORY ${ZVT_MODULE_OUTPUT_DIRECTORY})
endfunction()
