# Links every file of the Python package into the staging directory (run at
# build time, so files added later are picked up), the runners/ subpackage
# included: the runner lookup finds the scripts under runners/ beside the
# extension file.
file(MAKE_DIRECTORY ${STAGING_DIR})
file(GLOB_RECURSE package_files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.py ${SOURCE_DIR}/*.pyi ${SOURCE_DIR}/py.typed)
foreach(name ${package_files})
  get_filename_component(parent ${STAGING_DIR}/${name} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(REMOVE ${STAGING_DIR}/${name})
  file(CREATE_LINK ${SOURCE_DIR}/${name} ${STAGING_DIR}/${name} SYMBOLIC)
endforeach()
