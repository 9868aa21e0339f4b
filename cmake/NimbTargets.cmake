# Compiler settings shared by every target of the project.
add_library(nimb_build_settings INTERFACE)
target_compile_options(nimb_build_settings INTERFACE -Wall -Wextra -Wshadow -Wpedantic -Wnon-virtual-dtor)

if(SANITIZER)
    string(REPLACE "," ";" _nimb_sanitizers "${SANITIZER}")
    foreach(_s IN LISTS _nimb_sanitizers)
        if(NOT _s MATCHES "^(address|undefined|thread|leak)$")
            message(FATAL_ERROR "SANITIZER: unknown sanitizer '${_s}'")
        endif()
    endforeach()
    target_compile_options(nimb_build_settings INTERFACE -fsanitize=${SANITIZER} -fno-omit-frame-pointer
                                                         -fno-sanitize-recover=all)
    target_link_options(nimb_build_settings INTERFACE -fsanitize=${SANITIZER})
endif()

# nimb_add_library(<name> <SHARED|INTERFACE|STATIC> ALIAS <ns::name> ...sources)
function(nimb_add_library name kind)
    cmake_parse_arguments(ARG "" "ALIAS" "" ${ARGN})
    add_library(${name} ${kind} ${ARG_UNPARSED_ARGUMENTS})
    add_library(${ARG_ALIAS} ALIAS ${name})
    if(kind STREQUAL "INTERFACE")
        target_link_libraries(${name} INTERFACE $<BUILD_INTERFACE:nimb_build_settings>)
    else()
        target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:nimb_build_settings>)
    endif()
endfunction()

# nimb_include_root(<target> <PUBLIC|INTERFACE>) gives <target> an include root of its own in the build tree,
# in which the calling folder appears under its path from the repository root: "ps/X.hpp" then finds ps/X.hpp
# for the targets that use the ps folder, and the repository root is on nobody's include path.
function(nimb_include_root target scope)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    set(root ${CMAKE_CURRENT_BINARY_DIR}/include-root)
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
endfunction()

# nimb_plugin_code(<target>...) marks code that is compiled into a plug-in: hidden unless marked with
# NIMB_PLUGIN_EXPORT (generated/dds/PluginExport.hpp), so that a plug-in shows only what hosts find by name.
function(nimb_plugin_code)
    set_target_properties(${ARGN} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    foreach(target IN LISTS ARGN)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "SHARED_LIBRARY")
            target_link_options(${target} PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/PluginExports.map)
            set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/PluginExports.map)
        endif()
    endforeach()
endfunction()
