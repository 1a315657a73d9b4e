# Installation for C++ programs that use an installed copy rather than
# add_subdirectory: headers, libraries, korvo-sim, a CMake package
# (find_package(KorvoHardwareAPI CONFIG)) and pkg-config files. The Python
# build lays out its own files (see the root CMakeLists.txt).
include(CMakePackageConfigHelpers)

install(TARGETS korvo_hardware korvo_haptics
  EXPORT KorvoHardwareAPITargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET korvo-sim)
  # Exported too, so that a program's own tests can run the simulator that
  # came with the library it was built against.
  install(TARGETS korvo-sim
    EXPORT KorvoHardwareAPITargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/Library/include/ ${PROJECT_SOURCE_DIR}/korvo/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(_korvo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/KorvoHardwareAPI)
install(EXPORT KorvoHardwareAPITargets
  NAMESPACE Korvo::
  DESTINATION ${_korvo_cmake_dir})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/KorvoHardwareAPIConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KorvoHardwareAPIConfig.cmake
  INSTALL_DESTINATION ${_korvo_cmake_dir})
# Before 1.0 a minor release may break the ABI (it changes the SONAME), so
# only the same major.minor satisfies a request.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/KorvoHardwareAPIConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/KorvoHardwareAPIConfig.cmake
  ${PROJECT_BINARY_DIR}/KorvoHardwareAPIConfigVersion.cmake
  DESTINATION ${_korvo_cmake_dir})

# pkg-config files locate the prefix from their own directory, so the
# installation works wherever it is put (cmake --install --prefix, DESTDIR,
# a copied tree), as the CMake package does.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KORVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KORVO_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _korvo_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" _korvo_up "${_korvo_up}")
  set(KORVO_PC_PREFIX "\${pcfiledir}/${_korvo_up}")
  set(KORVO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KORVO_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KORVO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
foreach(_korvo_pc IN ITEMS korvo-hardware korvo-haptics)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${_korvo_pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${_korvo_pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${_korvo_pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
