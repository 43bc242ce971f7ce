# SPDX-License-Identifier: GPL-3.0-or-later
# rtplayer_public_headers(target prefix header...): the headers of the current folder that
# the target's callers may include, as "prefix/header". They are links in a folder of the build
# tree that holds nothing else, and that folder alone goes on the callers' include path, so a
# header not named here cannot be reached from outside the target's folder. The target's own
# sources include their folder's headers by their bare names.
function(rtplayer_public_headers target prefix)
  set(public ${CMAKE_CURRENT_BINARY_DIR}/${target}-public)
  file(REMOVE_RECURSE ${public}/${prefix})
  file(MAKE_DIRECTORY ${public}/${prefix})
  foreach(header IN LISTS ARGN)
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public}/${prefix}/${header} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${public})
  else()
    target_include_directories(${target} PUBLIC ${public})
  endif()
endfunction()
