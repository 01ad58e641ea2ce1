@echo off
rem Starts the hub on the Node runtime shipped beside it.
rem   hub.cmd [--config FILE]              serve OPC UA and MQTT as configured (default: hub\hub.json)
rem   hub.cmd --add-user NAME [--config FILE]
rem   hub.cmd --export ROBOT --from TIME --to TIME FILE [--config FILE]
rem                                        a robot's updates from the history, as a recording
"%~dp0node\node.exe" "%~dp0hub\hub.js" %*
