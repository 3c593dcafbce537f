# qelv_add_subfolders(): every subfolder of the calling folder that has a
# CMakeLists.txt of its own is part of the build, in name order.
function(qelv_add_subfolders)
  file(GLOB subdirs LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT subdirs)
  foreach(dir ${subdirs})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
