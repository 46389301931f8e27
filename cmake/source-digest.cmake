# Writes OUTPUT, a header defining ZELTA_SOURCE_DIGEST: the SHA-256 of the
# lines "NAME SHA256" of the files in SOURCE_DIR, sorted by name. The module
# reports it, and the test suite compares it with the checkout's sources so
# that tests never run against a build of other sources unnoticed.
file(GLOB files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
list(SORT files)
set(lines "")
foreach(name IN LISTS files)
  file(SHA256 "${SOURCE_DIR}/${name}" hash)
  string(APPEND lines "${name} ${hash}\n")
endforeach()
string(SHA256 digest "${lines}")
set(text "#define ZELTA_SOURCE_DIGEST \"${digest}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
