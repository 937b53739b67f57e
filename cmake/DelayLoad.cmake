# System DLLs that the tray program does not need while it waits: the ODBC
# driver manager (needed at a backup or a save), the common controls (needed
# once the window is first shown) and COM (needed by the folder browser). They
# are delay-loaded, so the loader maps them at their first call instead of at
# start-up, and the program that waits all day in the tray stays small.
#
# bakwyn_delay_loaded(<target> <dll>): an INTERFACE library that links <dll>
# delay-loaded. mingw-w64: an import library made by dlltool --output-delaylib
# from cmake/delay/<dll>.def, plus the delay-load helper. MSVC: the ordinary
# import library with /DELAYLOAD.
function(bakwyn_delay_loaded target dll)
  add_library(${target} INTERFACE)
  if(MINGW)
    if(NOT BAKWYN_DLLTOOL)
      get_filename_component(bin ${CMAKE_CXX_COMPILER} DIRECTORY)
      find_program(BAKWYN_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool HINTS ${bin} REQUIRED)
    endif()
    set(def ${PROJECT_SOURCE_DIR}/cmake/delay/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/delay/lib${dll}-delay.a)
    add_custom_command(OUTPUT ${lib}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay
      COMMAND ${BAKWYN_DLLTOOL} --input-def ${def} --dllname ${dll}.dll --output-delaylib ${lib}
      DEPENDS ${def} VERBATIM)
    add_custom_target(${target}_import DEPENDS ${lib})
    add_dependencies(${target} ${target}_import)
    target_link_libraries(${target} INTERFACE ${lib} delayimp)
  elseif(MSVC)
    target_link_libraries(${target} INTERFACE ${dll} delayimp)
    target_link_options(${target} INTERFACE /DELAYLOAD:${dll}.dll)
  else()
    target_link_libraries(${target} INTERFACE ${dll})
  endif()
endfunction()
