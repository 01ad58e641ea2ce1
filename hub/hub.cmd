@echo off
rem Starts the hub on the Node runtime shipped beside it.
rem   hub.cmd [--config FILE]              serve OPC UA and MQTT as configured (default: hub\hub.json)
rem   hub.cmd --add-user NAME [--config FILE]
"%~dp0node\node.exe" "%~dp0hub\hub.js" %*
