# The Windows downloads, made by a cross build on Debian
# (cmake/toolchain-mingw-w64.cmake): telvane-<version>-win64.zip (target zip)
# with the programs, the DLLs they load, Qt's plugins, README.txt and the
# licences, and the installer of the same files (target installer).
get_filename_component(_telvane_qt_prefix "${Qt5_DIR}/../../.." ABSOLUTE)
# OpenSSL's DLLs (libssl-3-x64.dll, libcrypto-3-x64.dll) and libmosquitto.dll
# in the bin folder beside their import libraries' folder.
set(_telvane_dll_path)
find_package(OpenSSL 1.1.1 QUIET) # client/ found it in its own scope
foreach(_import ${OPENSSL_CRYPTO_LIBRARY} ${TELVANE_MOSQUITTO_LIBRARY})
    if(_import) # not ...-NOTFOUND
        get_filename_component(_folder "${_import}" DIRECTORY)
        get_filename_component(_folder "${_folder}/../bin" ABSOLUTE)
        list(APPEND _telvane_dll_path ${_folder})
    endif()
endforeach()
string(REPLACE ";" ":" _telvane_dll_folders "${_telvane_dll_path}")
set(TELVANE_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/telvane-${PROJECT_VERSION}-win64.zip)
set(_telvane_zipped telvane telvane-client telvane-publish)
if(TARGET telvane-hub)
    list(APPEND _telvane_zipped telvane-hub)
endif()
set(_telvane_zipped_files)
foreach(_program ${_telvane_zipped})
    list(APPEND _telvane_zipped_files $<TARGET_FILE:${_program}>)
endforeach()
add_custom_command(
    OUTPUT ${TELVANE_WINDOWS_ZIP}
    COMMAND ${CMAKE_COMMAND} -E env TELVANE_DLL_PATH=${_telvane_dll_folders}
            ${CMAKE_SOURCE_DIR}/scripts/windows-zip.sh ${TELVANE_WINDOWS_ZIP} ${_telvane_qt_prefix}
            ${CMAKE_CXX_COMPILER} ${CMAKE_SOURCE_DIR}
            ${_telvane_zipped_files}
    DEPENDS ${_telvane_zipped}
            ${CMAKE_SOURCE_DIR}/scripts/windows-zip.sh
            ${CMAKE_SOURCE_DIR}/res/windows/README.txt
            ${CMAKE_SOURCE_DIR}/res/windows/LICENSE.txt
    COMMENT "Packing telvane-${PROJECT_VERSION}-win64.zip"
    VERBATIM)
add_custom_target(zip ALL DEPENDS ${TELVANE_WINDOWS_ZIP})

# The installer, telvane-<version>-win64-setup.exe, from the zip's folder
# (scripts/windows-installer.sh, res/windows/installer.nsi), with makensis.
# Its licence page shows the project's LICENSE; until that file is in the
# tree, the zip's licence text stands in for it.
find_program(TELVANE_MAKENSIS makensis)
if(TELVANE_MAKENSIS)
    set(TELVANE_WINDOWS_SETUP ${CMAKE_BINARY_DIR}/telvane-${PROJECT_VERSION}-win64-setup.exe)
    set(_telvane_licence ${CMAKE_SOURCE_DIR}/LICENSE)
    if(NOT EXISTS ${_telvane_licence})
        set(_telvane_licence ${CMAKE_SOURCE_DIR}/res/windows/LICENSE.txt)
    endif()
    set(_telvane_stage ${CMAKE_BINARY_DIR}/telvane-${PROJECT_VERSION}-win64)
    add_custom_command(
        OUTPUT ${TELVANE_WINDOWS_SETUP}
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-installer.sh ${TELVANE_WINDOWS_SETUP} ${_telvane_stage}
                ${CMAKE_SOURCE_DIR} ${PROJECT_VERSION} ${_telvane_licence} $<TARGET_FILE:telvane-hubpage>
        DEPENDS ${TELVANE_WINDOWS_ZIP} telvane-hubpage ${_telvane_licence}
                ${CMAKE_SOURCE_DIR}/scripts/windows-installer.sh
                ${CMAKE_SOURCE_DIR}/res/windows/installer.nsi
                ${CMAKE_SOURCE_DIR}/res/telvane.ico
        COMMENT "Making telvane-${PROJECT_VERSION}-win64-setup.exe"
        VERBATIM)
    add_custom_target(installer ALL DEPENDS ${TELVANE_WINDOWS_SETUP})
    # The zip's rule belongs to the zip target alone: without this order a
    # parallel make runs windows-zip.sh for both targets at once, in the same
    # staging folder, and one deletes what the other packs.
    add_dependencies(installer zip)
else()
    message(STATUS "Windows installer left out: makensis (Debian: nsis) is not installed")
endif()

# The test programs run under Wine (tests/windows/wine-emulator.sh), finding
# Qt's DLLs and MinGW's runtime in the folders they come from.
set(_telvane_wine_path ${_telvane_qt_prefix}/bin ${_telvane_dll_path})
foreach(_runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_runtime}
                    OUTPUT_VARIABLE _found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(EXISTS "${_found}")
        get_filename_component(_folder "${_found}" DIRECTORY)
        list(APPEND _telvane_wine_path ${_folder})
    endif()
endforeach()
list(REMOVE_DUPLICATES _telvane_wine_path)
string(REPLACE ";" ":" _telvane_wine_path "${_telvane_wine_path}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env TELVANE_WINE_PATH=${_telvane_wine_path}
    ${CMAKE_SOURCE_DIR}/tests/windows/wine-emulator.sh)
