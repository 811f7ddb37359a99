# The Windows build: what a Windows installation ships beside updater.exe, the deployment
# folder that holds exactly that, and the Wine wrapper that CTest runs the Windows tests with.

# Every file the updater needs beside it, relative to its folder: the relocation run copies
# exactly these (generated into the updater), and the deployment ships exactly these. Qt's
# plug-ins live in a folder of their own whose name the installer refuses as a package name,
# so that no package folder in the download folder can ever take it.
set(ORVI_WINDOWS_PLUGIN_FOLDER "updater-plugins")
set(ORVI_WINDOWS_QT_LIBRARIES Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll)
set(ORVI_WINDOWS_QT_PLUGINS platforms/qwindows.dll styles/qwindowsvistastyle.dll
    tls/qschannelbackend.dll)
set(ORVI_WINDOWS_MINGW_LIBRARIES libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
set(ORVI_WINDOWS_RELOCATION_FILES updater.exe qt.conf ${ORVI_WINDOWS_QT_LIBRARIES}
    ${ORVI_WINDOWS_MINGW_LIBRARIES})
foreach(plugin IN LISTS ORVI_WINDOWS_QT_PLUGINS)
    list(APPEND ORVI_WINDOWS_RELOCATION_FILES ${ORVI_WINDOWS_PLUGIN_FOLDER}/${plugin})
endforeach()

if(NOT ORVI_WINDOWS_PREFIX)
    message(FATAL_ERROR "ORVI_WINDOWS_PREFIX must name the prefix scripts/windows/build-deps.sh "
        "printed")
endif()

# MinGW's runtime libraries, wherever this compiler keeps them.
set(ORVI_MINGW_RUNTIME_DIRS)
foreach(library IN LISTS ORVI_WINDOWS_MINGW_LIBRARIES)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${library} is")
    endif()
    set(ORVI_MINGW_${library} "${path}")
    get_filename_component(dir "${path}" DIRECTORY)
    list(APPEND ORVI_MINGW_RUNTIME_DIRS "${dir}")
endforeach()
list(REMOVE_DUPLICATES ORVI_MINGW_RUNTIME_DIRS)

# The deployment: a folder that a copy of starts anywhere, as an installation ships it.
set(ORVI_DEPLOY_DIR ${CMAKE_BINARY_DIR}/deploy)
set(ORVI_DEPLOY_COMMANDS)
foreach(library IN LISTS ORVI_WINDOWS_QT_LIBRARIES)
    list(APPEND ORVI_DEPLOY_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy_if_different
        ${ORVI_WINDOWS_PREFIX}/bin/${library} ${ORVI_DEPLOY_DIR}/${library})
endforeach()
foreach(library IN LISTS ORVI_WINDOWS_MINGW_LIBRARIES)
    list(APPEND ORVI_DEPLOY_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy_if_different
        ${ORVI_MINGW_${library}} ${ORVI_DEPLOY_DIR}/${library})
endforeach()
foreach(plugin IN LISTS ORVI_WINDOWS_QT_PLUGINS)
    list(APPEND ORVI_DEPLOY_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy_if_different
        ${ORVI_WINDOWS_PREFIX}/plugins/${plugin}
        ${ORVI_DEPLOY_DIR}/${ORVI_WINDOWS_PLUGIN_FOLDER}/${plugin})
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/qt.conf CONTENT
    "[Paths]\nPrefix = .\nPlugins = ${ORVI_WINDOWS_PLUGIN_FOLDER}\n")

# Wine runs the tests; each runs in the build's own prefix.
find_program(ORVI_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ORVI_WINE NAMES wine64 wine)
find_program(ORVI_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ORVI_WINESERVER NAMES wineserver)
if(NOT ORVI_WINE OR NOT ORVI_WINESERVER)
    message(FATAL_ERROR "The Windows tests need Wine (Debian's wine64 and wine)")
endif()
set(ORVI_FONT_DIR /usr/share/fonts/truetype/dejavu)
set(ORVI_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(ORVI_WINE_PATH ${ORVI_WINDOWS_PREFIX}/bin ${ORVI_MINGW_RUNTIME_DIRS})
list(JOIN ORVI_WINE_PATH ";" ORVI_WINE_PATH)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
# The same as another user, for what root's rights would hide (see the script).
set(ORVI_OTHER_USER_DIR ${CMAKE_BINARY_DIR}/other-user)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run-other-user.sh.in
    ${CMAKE_BINARY_DIR}/wine-run-other-user.sh
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE @ONLY)
