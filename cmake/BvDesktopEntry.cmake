# Install-time step: writes the desktop entry with the installed executable's
# path (CMAKE_INSTALL_PREFIX is the prefix of this install) and installs it.
# Expects BV_DESKTOP_IN (the template) and BV_DESKTOP_SCRATCH (a folder where
# the entry is written first, one subfolder per destination, so installs to
# different prefixes at the same time do not mix).
set(exe "${CMAKE_INSTALL_PREFIX}/bin/brevanto")
# Exec: a path with a reserved character is quoted, with ", `, $ and \
# escaped inside; TryExec takes the path as it is. Then both are string
# values: every backslash doubled, and % doubled in Exec (field codes).
set(exec "${exe}")
if(exe MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
  string(REPLACE "\\" "\\\\" exec "${exec}")
  string(REPLACE "\"" "\\\"" exec "${exec}")
  string(REPLACE "`" "\\`" exec "${exec}")
  string(REPLACE "$" "\\$" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
string(REPLACE "\\" "\\\\" tryexec "${exe}")
file(READ "${BV_DESKTOP_IN}" text)
string(REPLACE "@BV_EXEC@" "${exec}" text "${text}")
string(REPLACE "@BV_TRYEXEC@" "${tryexec}" text "${text}")
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(out "${BV_DESKTOP_SCRATCH}/${destination}/org.brevanto.Brevanto.desktop")
file(WRITE "${out}" "${text}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE FILES "${out}")
file(REMOVE_RECURSE "${BV_DESKTOP_SCRATCH}/${destination}")
