# The build-time identifiers and the relations between them: agent bundle id = app bundle id +
# ".watchagent"; the agent's service name = team id + "." + agent bundle id; app group = team id
# + "." + app bundle id. Only the team and the app bundle id are chosen; the others are derived
# when left empty and must match their derivation when given.
function(watch_resolve_identifiers)
  if(NOT WATCH_TEAM_ID MATCHES "^[A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9][A-Z0-9]$")
    message(FATAL_ERROR "WATCH_TEAM_ID \"${WATCH_TEAM_ID}\" is not ten letters or digits")
  endif()
  if(NOT WATCH_APP_BUNDLE_ID MATCHES "^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+$")
    message(FATAL_ERROR "WATCH_APP_BUNDLE_ID \"${WATCH_APP_BUNDLE_ID}\" is not a reverse-DNS name")
  endif()
  set(agent "${WATCH_APP_BUNDLE_ID}.watchagent")
  set(service "${WATCH_TEAM_ID}.${agent}")
  set(group "${WATCH_TEAM_ID}.${WATCH_APP_BUNDLE_ID}")
  foreach(pair "WATCH_AGENT_BUNDLE_ID;${agent};the app bundle id + \".watchagent\""
               "WATCH_MACH_SERVICE_NAME;${service};the team id + \".\" + the agent bundle id"
               "WATCH_APP_GROUP;${group};the team id + \".\" + the app bundle id")
    list(GET pair 0 name)
    list(GET pair 1 derived)
    list(GET pair 2 rule)
    if("${${name}}" STREQUAL "")
      set(${name} "${derived}" PARENT_SCOPE)
    elseif(NOT "${${name}}" STREQUAL "${derived}")
      message(FATAL_ERROR "${name} \"${${name}}\" must be ${rule}: \"${derived}\" (leave it empty "
                          "to derive it)")
    endif()
  endforeach()
endfunction()
