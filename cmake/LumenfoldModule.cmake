# lumenfold_add_module(<name> SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...])
#
# One shared library per module: target lumenfold_<name>, alias lumenfold::<name>,
# exported as lumenfold::<name>, library file liblumenfold-<name>.so. Public headers
# live in <module>/include/tellurix/lumenfold/ and are included as
# <tellurix/lumenfold/<header>.h> from the build tree and from an install alike.
# Symbols are hidden unless marked with LUMENFOLD_<NAME>_EXPORT from <name>_export.h.
set(LUMENFOLD_GENERATED_INCLUDE ${PROJECT_BINARY_DIR}/generated/include)

function(lumenfold_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  set(target lumenfold_${name})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(lumenfold::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    OUTPUT_NAME lumenfold-${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    AUTOMOC ON)
  generate_export_header(${target}
    BASE_NAME lumenfold_${name}
    EXPORT_FILE_NAME ${LUMENFOLD_GENERATED_INCLUDE}/tellurix/lumenfold/${name}_export.h)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${LUMENFOLD_GENERATED_INCLUDE}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_17)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  install(TARGETS ${target} EXPORT lumenfoldTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${LUMENFOLD_GENERATED_INCLUDE}/tellurix/lumenfold/${name}_export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellurix/lumenfold)
endfunction()

# lumenfold_install_program(<target>)
#
# Installs an executable into the prefix's bin directory, able to start from there: it
# finds the panel's libraries relative to itself ($ORIGIN), wherever the prefix is, so
# no LD_LIBRARY_PATH or ldconfig step is needed. Every installed program goes through
# here; the install test runs each one listed in LUMENFOLD_INSTALLED_PROGRAMS.
function(lumenfold_install_program target)
  file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY LUMENFOLD_INSTALLED_PROGRAMS ${target})
endfunction()
