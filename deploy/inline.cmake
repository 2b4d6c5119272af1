# Makes a shipped script stand alone: the line that dot-sources the rule gives way to the rule
# itself, so that each script is one file, and the rule is written once.
#   cmake -DSCRIPT=deploy/detect-removal.ps1 -DRULE=deploy/removal-rule.ps1 -DOUT=... -P inline.cmake
set(include_line ". (Join-Path $PSScriptRoot 'removal-rule.ps1')\n")
file(READ "${SCRIPT}" script)
file(READ "${RULE}" rule)
string(FIND "${script}" "${include_line}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${SCRIPT} does not dot-source the rule in the line it should")
endif()
string(REPLACE "${include_line}" "${rule}" script "${script}")
file(WRITE "${OUT}" "${script}")
