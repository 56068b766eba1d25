# One static library per folder of src/, each linking only the folders
# below it, so that an include of a higher folder's header fails to build:
# a folder's sources see their own folder whole and, of the folders they
# depend on, only the public headers. The headers are reached through views
# made in the build tree: view/all/<folder>/<folder> links to the folder,
# view/public/<folder>/<folder>/ holds a link to each public header.
# velk_folder(<name> [DEPENDS <folder>...] [PRIVATE_HEADERS <file>...]
#             [SOURCES <extra source>...] [LIBRARIES <target>...])
set(VELK_VIEW_DIR ${CMAKE_BINARY_DIR}/view)
file(REMOVE_RECURSE ${VELK_VIEW_DIR})
set(VELK_FOLDERS "")

function(velk_folder name)
  cmake_parse_arguments(F "" "" "DEPENDS;PRIVATE_HEADERS;SOURCES;LIBRARIES" ${ARGN})
  set(dir ${CMAKE_SOURCE_DIR}/src/${name})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)

  set(all_view ${VELK_VIEW_DIR}/all/${name})
  set(public_view ${VELK_VIEW_DIR}/public/${name})
  file(MAKE_DIRECTORY ${all_view} ${public_view}/${name})
  file(CREATE_LINK ${dir} ${all_view}/${name} SYMBOLIC)
  foreach(header ${headers})
    get_filename_component(file ${header} NAME)
    if(NOT file IN_LIST F_PRIVATE_HEADERS)
      file(CREATE_LINK ${header} ${public_view}/${name}/${file} SYMBOLIC)
    endif()
  endforeach()

  add_library(velk_${name} STATIC ${sources} ${F_SOURCES})
  target_include_directories(velk_${name} PRIVATE ${all_view} PUBLIC ${public_view})
  foreach(dependency ${F_DEPENDS})
    target_link_libraries(velk_${name} PUBLIC velk_${dependency})
  endforeach()
  if(F_LIBRARIES)
    target_link_libraries(velk_${name} PUBLIC ${F_LIBRARIES})
  endif()
  set(VELK_FOLDERS ${VELK_FOLDERS} ${name} PARENT_SCOPE)
endfunction()
