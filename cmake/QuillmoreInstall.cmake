# Install rules: headers, libraries, the CMake package (config, version file
# and exported targets, all under the QuillmoreParser:: namespace) and the
# pkg-config files.
#
#   find_package(QuillmoreParser 0.2 CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE QuillmoreParser::core)   # C++
#   target_link_libraries(app PRIVATE QuillmoreParser::c)      # C, shared
#
#   pkg-config --cflags --libs quillmore        # C interface
#   pkg-config --cflags --libs quillmore-core   # C++ core
include(CMakePackageConfigHelpers)

set(QUILLMORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuillmoreParser)
set(QUILLMORE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(DIRECTORY core/include/quillmore DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
set(_targets quillmore_core)
if(QUILLMORE_BUILD_C)
  install(FILES capi/include/quillmore/quillmore.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmore)
  list(APPEND _targets quillmore_c quillmore_c_static)
endif()
install(TARGETS ${_targets} EXPORT QuillmoreParserTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT QuillmoreParserTargets NAMESPACE QuillmoreParser:: DESTINATION ${QUILLMORE_CMAKE_DIR})

configure_package_config_file(cmake/QuillmoreParserConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuillmoreParserConfig.cmake
  INSTALL_DESTINATION ${QUILLMORE_CMAKE_DIR})
# 0.x: a minor release may change the interfaces, so 0.2 accepts 0.2.* only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuillmoreParserConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuillmoreParserConfig.cmake ${PROJECT_BINARY_DIR}/QuillmoreParserConfigVersion.cmake
  DESTINATION ${QUILLMORE_CMAKE_DIR})

# pkg-config files find the prefix relative to themselves, so an installed
# tree may be moved.  A static link needs the C++ runtime that the C++
# compiler adds on its own and the C compiler does not.
file(RELATIVE_PATH QUILLMORE_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${QUILLMORE_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QUILLMORE_PC_TO_PREFIX "${QUILLMORE_PC_TO_PREFIX}")
set(_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
if(_runtime AND CMAKE_C_IMPLICIT_LINK_LIBRARIES)
  list(REMOVE_ITEM _runtime ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
endif()
set(QUILLMORE_PC_CXX_RUNTIME "")
foreach(_lib ${_runtime})
  string(APPEND QUILLMORE_PC_CXX_RUNTIME " -l${_lib}")
endforeach()
set(_pc_files quillmore-core)
if(QUILLMORE_BUILD_C)
  list(APPEND _pc_files quillmore)
endif()
foreach(_pc ${_pc_files})
  configure_file(cmake/${_pc}.pc.in ${PROJECT_BINARY_DIR}/${_pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${_pc}.pc DESTINATION ${QUILLMORE_PKGCONFIG_DIR})
endforeach()
