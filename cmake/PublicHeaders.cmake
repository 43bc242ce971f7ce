# rtplayer_public_headers(target folder header...): the headers of `folder` that the target's
# callers may include (as "folder/header"); every other header there stays the target's own.
# The target itself sees the whole source tree. The public ones are links in the build tree,
# so the callers' include path holds nothing else.
function(rtplayer_public_headers target folder)
  set(public ${CMAKE_CURRENT_BINARY_DIR}/public)
  file(REMOVE_RECURSE ${public}/${folder})
  file(MAKE_DIRECTORY ${public}/${folder})
  foreach(header IN LISTS ARGN)
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public}/${folder}/${header} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${public} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()
