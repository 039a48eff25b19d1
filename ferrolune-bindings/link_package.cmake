# Links every file of the Python package into the staging directory (run at
# build time, so files added later are picked up).
file(MAKE_DIRECTORY ${STAGING_DIR})
file(GLOB package_files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.py ${SOURCE_DIR}/*.pyi ${SOURCE_DIR}/py.typed)
foreach(name ${package_files})
  file(REMOVE ${STAGING_DIR}/${name})
  file(CREATE_LINK ${SOURCE_DIR}/${name} ${STAGING_DIR}/${name} SYMBOLIC)
endforeach()
