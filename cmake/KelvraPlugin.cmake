# kelvra_plugin(<target> EXPORTS <name>...): a plug-in library the server loads (a .so, or a .dll on
# Windows) that exports exactly the names given and hides everything else.
# On 32-bit Windows the LogProvider_ functions are __stdcall, which the compiler exports decorated
# ("LogProvider_AddMessage@20"); --kill-at exports them by their plain names, which the server
# asks for. Where objdump of the target is known, each link of a DLL checks its export table
# against the list and fails the build when they differ, so builds without tests check it too.
function(kelvra_plugin target)
  cmake_parse_arguments(arg "" "" "EXPORTS" ${ARGN})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
  if(WIN32 AND CMAKE_OBJDUMP)
    list(JOIN arg_EXPORTS "," expected)
    add_custom_command(TARGET ${target} POST_BUILD
                       COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP}
                               -DLIBRARY=$<TARGET_FILE:${target}> -DEXPECTED=${expected}
                               -P ${PROJECT_SOURCE_DIR}/cmake/CheckPluginExports.cmake
                       VERBATIM)
  endif()
endfunction()
