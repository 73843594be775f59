# zvt_add_resource_library(TARGET FILE_NAME SOURCE)
#
# Builds a resource library named FILE_NAME (for example zvtadmrs.dll) from a
# text file of string resources, with any further sources given after it:
#   # a comment
#   16100 The function %1 of provider %2 has no name.
# Each line is a resource number, blanks, and the text (UTF-8; \n, \t and \\
# are escapes). The library exports the table that the module loader's
# LoadStringW reads.
function(zvt_add_resource_library target file_name source)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_strings.cc)
  add_custom_command(
    OUTPUT ${generated}
    COMMAND zvtrc ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${generated}
    DEPENDS zvtrc ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    COMMENT "Compiling string resources ${source}")
  add_library(${target} MODULE ${generated} ${ARGN})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${file_name})
endfunction()
