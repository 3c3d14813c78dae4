# Run with -DSRC=<package sources> -DDST=<build dir of the package>: links
# every Python file of the package into the build directory, so that a build
# tree holds an importable package next to its compiled module.
file(GLOB entries RELATIVE "${SRC}" "${SRC}/*.py" "${SRC}/*.pyi" "${SRC}/py.typed" "${SRC}/schemas" "${SRC}/formats")
file(MAKE_DIRECTORY "${DST}")
foreach(entry IN LISTS entries)
  if(NOT EXISTS "${DST}/${entry}")
    file(CREATE_LINK "${SRC}/${entry}" "${DST}/${entry}" SYMBOLIC)
  endif()
endforeach()
