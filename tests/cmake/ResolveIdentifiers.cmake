# Runs the identifier rules on the WATCH_* values given with -D and prints what they resolve to.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Identifiers.cmake)
watch_resolve_identifiers()
message("agent=${WATCH_AGENT_BUNDLE_ID} service=${WATCH_MACH_SERVICE_NAME} group=${WATCH_APP_GROUP}")
