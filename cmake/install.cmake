# Install rules: what another project needs to use Vuvidur.
#   include/vuvidur.h, include/vuvidur.hpp (the C++20 face)
#   bin/vuvidur                        the command-line tool, when built (VESK_TOOLS)
#   share/man/man1/vuvidur.1           its manual page
#   lib/libvuvidur.so{,.1,.1.0.0}      (Windows: bin/vuvidur.dll, lib/libvuvidur.dll.a)
#   lib/libvuvidur.a                   with VESK_STATIC
#   lib/pkgconfig/vuvidur.pc           pkg-config: vuvidur
#   lib/cmake/Vuvidur/                 find_package(Vuvidur 1.0): Vuvidur::vuvidur
#   share/doc/vuvidur/LICENSE
# (lib is CMAKE_INSTALL_LIBDIR: lib/x86_64-linux-gnu when configured for /usr on Debian.)
include(CMakePackageConfigHelpers)

set(vesk_installed_targets vuvidur)
if(VESK_STATIC)
  list(APPEND vesk_installed_targets vuvidur_static)
endif()

install(TARGETS ${vesk_installed_targets}
  EXPORT VuvidurTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vuvidur.h ${PROJECT_SOURCE_DIR}/include/vuvidur.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vuvidur_tool)
  install(TARGETS vuvidur_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/vuvidur/vuvidur.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# CMake package.  The files locate the prefix from where they are installed,
# so a tree moved elsewhere (or unpacked from the Debian package into any
# root) still works.
set(vesk_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Vuvidur)
install(EXPORT VuvidurTargets NAMESPACE Vuvidur:: DESTINATION ${vesk_cmake_dir})
# The static archive's users link libcrypto too: the package finds it the way
# the build did (pkg-config), only when the archive is installed.
if(VESK_STATIC AND NOT WIN32)
  set(VESK_CONFIG_NEEDS_LIBCRYPTO ON)
else()
  set(VESK_CONFIG_NEEDS_LIBCRYPTO OFF)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VuvidurConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/VuvidurConfig.cmake
  INSTALL_DESTINATION ${vesk_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/VuvidurConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/VuvidurConfig.cmake
              ${PROJECT_BINARY_DIR}/package/VuvidurConfigVersion.cmake
        DESTINATION ${vesk_cmake_dir})

# pkg-config file.  Written when installing, not when configuring, so that
# its prefix is the one actually installed to (cmake --install --prefix P,
# CPack's /usr), whatever the build was configured with.
# (The escapes keep "${prefix}" literal through the install script.)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(vesk_pc_libdir "${CMAKE_INSTALL_LIBDIR}")
else()
  set(vesk_pc_libdir "\\\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(vesk_pc_includedir "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(vesk_pc_includedir "\\\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(WIN32)
  set(vesk_pc_libs_private "-lstdc++ -lpthread -lws2_32 -lbcrypt")
  set(vesk_pc_requires_private "")
else()
  set(vesk_pc_libs_private "-lstdc++ -lpthread")
  set(vesk_pc_requires_private "libcrypto")
endif()
set(vesk_pc_file ${PROJECT_BINARY_DIR}/package/vuvidur.pc)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir \"${vesk_pc_libdir}\")
  set(includedir \"${vesk_pc_includedir}\")
  set(version \"${PROJECT_VERSION}\")
  set(libs_private \"${vesk_pc_libs_private}\")
  set(requires_private \"${vesk_pc_requires_private}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/vuvidur.pc.in\" \"${vesk_pc_file}\" @ONLY)
")
install(FILES ${vesk_pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# make package: one Debian package with everything above.
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vuvidur)
  set(CPACK_PACKAGE_VENDOR "The Vuvidur authors")
  set(CPACK_PACKAGE_CONTACT "The Vuvidur authors")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(VESK_STATIC)
    # The static archive is linked with libcrypto (the shared library's
    # libssl3 comes from the shared library dependencies above).
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl-dev (>= 3.0)")
  endif()
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
  include(CPack)
endif()
