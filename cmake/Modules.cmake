# SPDX-License-Identifier: GPL-3.0-or-later
# Loadable modules: shared objects that platform/ opens with dlopen on first need (a heavy
# library is mapped only into the processes that use it). Built beside the programs and
# installed into the library folder's rtplayer/; the loader looks in both places.
set(RTPLAYER_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/rtplayer)
# The installed module folder as seen from the installed programs' folder, so an installed
# tree can be moved as a whole.
file(RELATIVE_PATH RTPLAYER_MODULE_RELATIVE_DIR ${CMAKE_INSTALL_FULL_BINDIR}
  ${CMAKE_INSTALL_FULL_LIBDIR}/rtplayer)

# rtplayer_add_module(name source...): the module file rtplayer-<name>.so.
function(rtplayer_add_module name)
  add_library(rtplayer_${name}_module MODULE ${ARGN})
  set_target_properties(rtplayer_${name}_module PROPERTIES
    PREFIX "" OUTPUT_NAME rtplayer-${name}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # clang puts a sanitizer's runtime into the program alone, and a module built with the
  # sanitizer takes the runtime's symbols from it: only then may a module leave symbols open.
  if(NOT (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize"))
    target_link_options(rtplayer_${name}_module PRIVATE -Wl,--no-undefined)
  endif()
  # The headers of the platform's base, none of its code: a module takes nothing from the
  # program but what its table is handed.
  target_include_directories(rtplayer_${name}_module PRIVATE
    $<TARGET_PROPERTY:rtplayer_base,INTERFACE_INCLUDE_DIRECTORIES>
    $<TARGET_PROPERTY:rtplayer_base_internal,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(rtplayer_${name}_module PRIVATE Threads::Threads rtplayer_warnings)
  install(TARGETS rtplayer_${name}_module LIBRARY DESTINATION ${RTPLAYER_MODULE_INSTALL_DIR})
endfunction()
