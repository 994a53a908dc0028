# The extensions the installed manifests allow, from LUMRA_EXTENSION_IDS and
# LUMRA_FIREFOX_EXTENSION_IDS, as JSON lists. Checked before anything else:
# a wrong id stops the build here, not in a browser that ignores the manifest.
# The JSON list of `variable`'s comma-separated ids, each as prefix+id+suffix.
function(lumra_allowed_list out variable kind prefix suffix)
  string(REPLACE "," ";" ids "${${variable}}")
  set(json "")
  foreach(id IN LISTS ids)
    string(STRIP "${id}" id)
    string(LENGTH "${id}" length)
    if(kind STREQUAL "chrome")
      set(ok FALSE)
      if(length EQUAL 32 AND id MATCHES "^[a-p]+$")
        set(ok TRUE)
      endif()
      set(what "a Chrome extension id (32 letters a-p)")
    else()
      set(ok FALSE)
      if((length EQUAL 38 AND id MATCHES "^{[0-9a-fA-F-]+}$") OR
         id MATCHES "^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$")
        set(ok TRUE)
      endif()
      set(what "a Firefox extension id (name@domain or {uuid})")
    endif()
    if(NOT ok)
      message(FATAL_ERROR "${variable}: \"${id}\" is not ${what}")
    endif()
    list(APPEND json "\"${prefix}${id}${suffix}\"")
  endforeach()
  list(JOIN json ", " json)
  set(${out} "${json}" PARENT_SCOPE)
endfunction()

lumra_allowed_list(chrome_allowed LUMRA_EXTENSION_IDS chrome "chrome-extension://" "/")
if(chrome_allowed STREQUAL "")
  message(FATAL_ERROR "LUMRA_EXTENSION_IDS: no extension id given")
endif()
lumra_allowed_list(firefox_allowed LUMRA_FIREFOX_EXTENSION_IDS firefox "" "")
# 1 or 0: install scripts run without policies, where if(ON) is false.
set(firefox_manifest 1)
if(firefox_allowed STREQUAL "")
  set(firefox_manifest 0)
endif()

