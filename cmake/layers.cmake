# The folders are layers: platform, core, forward and control, agent, ui, ui/qt
# and ui/win32, app. A library sees the headers of its own folder and, through
# what it links, those of the layers below it, never one above: each folder's
# headers are linked into an include root of their own under the build folder,
# and only the library of that folder puts the root on its public include path.
# Includes stay written from the top ("core/event_log.h"), and so do the
# resource script's icon and manifest. A subfolder is a layer of its own, so
# only the folder's own files are linked, one by one.

# Gives `target` the files of `folder` (relative to the source root).
function(kiv_layer target folder)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  file(GLOB files CONFIGURE_DEPENDS LIST_DIRECTORIES false RELATIVE ${CMAKE_SOURCE_DIR}
       ${CMAKE_SOURCE_DIR}/${folder}/*)
  foreach(file IN LISTS files)
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${file} ${root}/${file} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# A test that `lower` cannot include `header` of a layer above it: the build
# of a one-line source fails because the header is not found.
function(kiv_upward_include_check lower header)
  set(check upward_include_from_${lower})
  add_library(${check} OBJECT EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/cmake/upward_include.cpp)
  target_link_libraries(${check} PRIVATE ${lower})
  target_compile_definitions(${check} PRIVATE KIV_UPWARD_HEADER="${header}")
  add_test(NAME layers.${lower}
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target ${check})
  set_tests_properties(layers.${lower} PROPERTIES
    PASS_REGULAR_EXPRESSION "${header}.*(No such file|not found)")
endfunction()
