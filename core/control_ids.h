#pragma once

namespace veritor {

// Control ids of the main window "VERITOR". The protocol code addresses the
// display fields by these numbers; the window maps each to its widget.
enum ControlId : int {
  kIdMessageLog = 1000,
  kIdCommandText = 1001,
  kIdSendCommand = 1002,
  kIdSignFile = 1003,
  kIdExit = 1004,
  kIdConnect = 1007,
  kIdSignFileName = 1008,
  kIdBrowseSignFile = 1009,
  kIdFirstStatusBit = 1010,  // 1010 to 1017 device status bits
  kIdFirstFunctionBit = 1018,  // 1018 to 1025 function status bits
  kIdLastStatusBit = 1025,
  kIdRefresh = 1026,
  kIdRequestField = 1027,
  kIdReplyField = 1028,
  kIdDetails = 1029,
  kIdClearLog = 1030,
  kIdBatchFileName = 1031,
  kIdBrowseBatchFile = 1032,
  kIdRunBatch = 1033,
  kIdSpeedOrAddress = 1034,
  kIdPortList = 1035,
  kIdBitmap = 1036,
};

}  // namespace veritor
