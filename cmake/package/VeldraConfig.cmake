# The Veldra package: find_package(Veldra) with an unpacked release (or the installed .deb) on
# CMAKE_PREFIX_PATH gives the packer as the imported program Veldra::packer and the function
# veldra_add_onefile, which packs a main DLL target and what it needs into one executable as a
# step of the build.
cmake_minimum_required(VERSION 3.20)
include_guard(GLOBAL)

# The release's root: this file lies in <root>/lib/cmake/Veldra.
get_filename_component(_veldra_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
# The packer that runs on this machine, whatever the target: the Windows build on Windows.
if(CMAKE_HOST_WIN32)
    set(_veldra_packer "${_veldra_root}/bin/veldra-packer.exe")
    set(_veldra_release "windows-x64 .zip")
else()
    set(_veldra_packer "${_veldra_root}/bin/veldra-packer")
    set(_veldra_release "linux-x86_64 .tar.gz or the .deb")
endif()
if(NOT EXISTS "${_veldra_packer}")
    set(Veldra_FOUND FALSE)
    set(Veldra_NOT_FOUND_MESSAGE
        "no packer at ${_veldra_packer}: this machine takes the ${_veldra_release} release of Veldra")
    return()
endif()
if(NOT TARGET Veldra::packer)
    add_executable(Veldra::packer IMPORTED GLOBAL)
    set_target_properties(Veldra::packer PROPERTIES IMPORTED_LOCATION "${_veldra_packer}")
endif()
set(VELDRA_PACKER "${_veldra_packer}")

# veldra_add_onefile(NAME MAIN <dll target> [ARCH x86|x64] [FILES file...] [DIRECTORIES dir...]
#                    [DLL_TARGETS target...] [ICON file.ico] [WINDOWED] [OPTIONS packer option...])
#
# Makes the target NAME, built with ALL, that writes ${CMAKE_CURRENT_BINARY_DIR}/NAME.exe. It
# stages the MAIN target's DLL, the DLL_TARGETS' DLLs, the FILES and the DIRECTORIES (each as a
# folder of its name) into ${CMAKE_CURRENT_BINARY_DIR}/NAME.onefile/app and packs that folder.
# ARCH defaults to the project's target (x64 where pointers have 8 bytes, else x86). OPTIONS
# go to the packer as they are (--company, --template, --unpack-mode ...). The executable is
# packed again when a target, a listed file, a file in a listed folder, the icon or the
# command line changes, and only then.
function(veldra_add_onefile name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "WINDOWED" "MAIN;ARCH;ICON" "FILES;DIRECTORIES;DLL_TARGETS;OPTIONS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "veldra_add_onefile(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT arg_MAIN OR NOT TARGET "${arg_MAIN}")
        message(FATAL_ERROR "veldra_add_onefile(${name}): MAIN must name the target of the main DLL")
    endif()
    foreach(dll IN LISTS arg_DLL_TARGETS)
        if(NOT TARGET "${dll}")
            message(FATAL_ERROR "veldra_add_onefile(${name}): DLL_TARGETS names '${dll}', which is no target")
        endif()
    endforeach()
    if(NOT arg_ARCH)
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
            set(arg_ARCH x64)
        else()
            set(arg_ARCH x86)
        endif()
    endif()
    if(NOT arg_ARCH MATCHES "^(x86|x64)$")
        message(FATAL_ERROR "veldra_add_onefile(${name}): ARCH takes x86 or x64, not '${arg_ARCH}'")
    endif()

    set(work "${CMAKE_CURRENT_BINARY_DIR}/${name}.onefile")
    set(app "${work}/app")
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
    set(stage_commands COMMAND "${CMAKE_COMMAND}" -E rm -rf "${app}"
                       COMMAND "${CMAKE_COMMAND}" -E make_directory "${app}")
    set(inputs "$<TARGET_FILE:Veldra::packer>" ${arg_MAIN} ${arg_DLL_TARGETS})
    foreach(target IN ITEMS ${arg_MAIN} ${arg_DLL_TARGETS})
        list(APPEND stage_commands COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:${target}>" "${app}/")
    endforeach()
    foreach(file IN LISTS arg_FILES)
        get_filename_component(file "${file}" ABSOLUTE)
        list(APPEND inputs "${file}")
        list(APPEND stage_commands COMMAND "${CMAKE_COMMAND}" -E copy "${file}" "${app}/")
    endforeach()
    foreach(folder IN LISTS arg_DIRECTORIES)
        get_filename_component(folder "${folder}" ABSOLUTE)
        get_filename_component(folder_name "${folder}" NAME)
        # Each file of the folder is an input; a file added or removed configures again.
        file(GLOB_RECURSE folder_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${folder}/*")
        list(APPEND inputs ${folder_files})
        list(APPEND stage_commands COMMAND "${CMAKE_COMMAND}" -E copy_directory "${folder}" "${app}/${folder_name}")
    endforeach()

    set(pack_options --main "$<TARGET_FILE_NAME:${arg_MAIN}>" --arch ${arg_ARCH} --quiet)
    if(arg_ICON)
        get_filename_component(arg_ICON "${arg_ICON}" ABSOLUTE)
        list(APPEND inputs "${arg_ICON}")
        list(APPEND pack_options --icon "${arg_ICON}")
    endif()
    if(arg_WINDOWED)
        list(APPEND pack_options --windowed)
    endif()
    list(APPEND pack_options ${arg_OPTIONS})
    # The command line as a file of its own, rewritten only when it changes, so that a changed
    # option packs again with any generator.
    set(options_file "${work}/options.txt")
    file(GENERATE OUTPUT "${options_file}" CONTENT "$<JOIN:${pack_options},\n>\n")
    list(APPEND inputs "${options_file}")

    add_custom_command(OUTPUT "${output}"
        ${stage_commands}
        COMMAND "$<TARGET_FILE:Veldra::packer>" pack "${app}" -o "${output}" ${pack_options}
        DEPENDS ${inputs}
        COMMENT "Packing ${name}.exe (${arg_ARCH})"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()
