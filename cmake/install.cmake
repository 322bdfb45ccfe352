# `cmake --install <build> --prefix DIR` makes DIR a portable application
# folder: the program with its vault, help pages and report picture beside
# it, plus a desktop entry and the program icon under DIR/share.
#
# The file is read twice: by the project, for the rules, and at install time
# (QUILLOCK_INSTALL_STEP set), for the steps that depend on the target folder.

if(NOT QUILLOCK_INSTALL_STEP)
  install(TARGETS quillock quillock-import quillock-export quillock-seal quillock-health quillock-generate
    RUNTIME DESTINATION .)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/help/ DESTINATION help)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/picture.gif DESTINATION .)
  foreach(size 16 24 32 48)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quillock-${size}.png
      DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME quillock.png)
  endforeach()
  install(CODE "
    set(QUILLOCK_INSTALL_STEP ON)
    set(QUILLOCK_MAKEVAULT \"$<TARGET_FILE:quillock-makevault>\")
    set(QUILLOCK_DESKTOP_TEMPLATE \"${CMAKE_SOURCE_DIR}/resources/quillock.desktop\")
    include(\"${CMAKE_CURRENT_LIST_FILE}\")
  ")
  return()
endif()

set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

# A vault already in the folder holds the user's accounts: never replaced,
# but no longer left readable by others (its fixed database password
# protects nothing; its mode does). The tool writes a fresh one 0600.
if(EXISTS "${folder}/data.mdb")
  message(STATUS "Keeping: ${folder}/data.mdb")
  execute_process(COMMAND chmod go= "${folder}/data.mdb")
else()
  message(STATUS "Fresh vault: ${folder}/data.mdb")
  execute_process(COMMAND "${QUILLOCK_MAKEVAULT}" --if-absent "${folder}/data.mdb" RESULT_VARIABLE made)
  if(NOT made EQUAL 0)
    message(FATAL_ERROR "quillock-makevault could not write ${folder}/data.mdb")
  endif()
endif()

# The entry names the folder it was installed to, and the program runs from
# there, so its scratch icon file stays inside the application folder.
# Exec is quoted: a folder name may hold blanks and characters Exec reserves.
set(exec "${CMAKE_INSTALL_PREFIX}")
foreach(reserved "\\" "\"" "`" "$")
  string(REPLACE "${reserved}" "\\${reserved}" exec "${exec}")
endforeach()
string(REPLACE "%" "%%" exec "${exec}")
string(REPLACE "\\" "\\\\" exec "${exec}")
set(plain "${CMAKE_INSTALL_PREFIX}")
string(REPLACE "\\" "\\\\" plain "${plain}")

file(READ "${QUILLOCK_DESKTOP_TEMPLATE}" entry)
string(REPLACE "@QUILLOCK_EXEC_FOLDER@" "${exec}" entry "${entry}")
string(REPLACE "@QUILLOCK_FOLDER@" "${plain}" entry "${entry}")
file(MAKE_DIRECTORY "${folder}/share/applications")
file(WRITE "${folder}/share/applications/quillock.desktop" "${entry}")
message(STATUS "Desktop entry: ${folder}/share/applications/quillock.desktop")
