# Finds the terminal-information library that answers the colour query of
# the output streams (setupterm, tigetnum), and its term.h. Most systems
# split it out of ncurses as libtinfo; where they do not, ncurses itself
# carries it. Linking the whole curses and forms libraries for four calls
# would only add start-up work and package dependencies.
#
# Defines Terminfo_FOUND and the imported target Terminfo::Terminfo.
find_path(Terminfo_INCLUDE_DIR term.h PATH_SUFFIXES ncursesw ncurses)
find_library(Terminfo_LIBRARY NAMES tinfow tinfo ncursesw ncurses)
mark_as_advanced(Terminfo_INCLUDE_DIR Terminfo_LIBRARY)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Terminfo REQUIRED_VARS Terminfo_LIBRARY Terminfo_INCLUDE_DIR)

if(Terminfo_FOUND AND NOT TARGET Terminfo::Terminfo)
  add_library(Terminfo::Terminfo UNKNOWN IMPORTED)
  set_target_properties(Terminfo::Terminfo PROPERTIES
    IMPORTED_LOCATION "${Terminfo_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Terminfo_INCLUDE_DIR}")
endif()
