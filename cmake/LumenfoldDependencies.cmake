# Third-party packages the modules link against. Shared by our own build and by the
# installed package config, so that an outside host finds exactly what we built with.
include(CMakeFindDependencyMacro)
find_dependency(Qt5 5.15 COMPONENTS Core Gui Widgets)

# Debian ships Qwt with a pkg-config file only; its Requires line pulls in Svg and OpenGL.
if(NOT TARGET lumenfold_qwt)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LUMENFOLD_QWT REQUIRED IMPORTED_TARGET Qt5Qwt6)
  add_library(lumenfold_qwt INTERFACE IMPORTED)
  target_link_libraries(lumenfold_qwt INTERFACE PkgConfig::LUMENFOLD_QWT Qt5::Widgets)
endif()
