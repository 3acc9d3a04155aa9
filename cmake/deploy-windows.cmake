# "cmake --install <build> --prefix <folder>" makes a folder that runs as it
# stands on Windows: the program, the Qt and MinGW runtime DLLs it loads, and
# the platform and style plugins Qt looks for beside it.
get_filename_component(VANTOREL_QT_PREFIX "${Qt5_DIR}/../../.." ABSOLUTE)

install(TARGETS vantorel RUNTIME DESTINATION .)
foreach(module Core Gui Widgets Network)
    install(FILES $<TARGET_FILE:Qt5::${module}> DESTINATION .)
endforeach()
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
        message(FATAL_ERROR "The MinGW runtime ${runtime} was not found beside ${CMAKE_CXX_COMPILER}.")
    endif()
    get_filename_component(runtime_path "${runtime_path}" REALPATH)
    install(FILES "${runtime_path}" DESTINATION .)
    list(APPEND VANTOREL_MINGW_RUNTIME "${runtime_path}")
endforeach()
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms)
# The Plastique style comes from the style plugins, which have no CMake package.
set(VANTOREL_PLASTIQUE "${VANTOREL_QT_PREFIX}/plugins/styles/qplastiquestyle.dll")
if(NOT EXISTS "${VANTOREL_PLASTIQUE}")
    message(FATAL_ERROR "${VANTOREL_PLASTIQUE} is missing: the Qt for Windows needs the Plastique style plugin.")
endif()
install(FILES "${VANTOREL_PLASTIQUE}" DESTINATION styles)
