#pragma once

namespace veritor {

// Results of a link transaction and of ExecuteCommand: 0 is success.
enum LinkResult : int {
  kResultOk = 0,
  // Network links.
  kResultSocketFailed = 1,          // a socket call failed
  kResultNoAnswer = 2,              // the device did not answer
  kResultRequestTooLong = 3,        // the request does not fit the link's frame
  // Serial link.
  kResultCanceledByPeer = 1000,     // the device answered the enquiry with CAN
  kResultEnquireFailed = 1001,      // three enquiries unanswered or unacknowledged
  kResultPacketNotAcked = 1002,     // the request packet was not acknowledged
  kResultReceiveStxTimeout = 1003,  // no STX within 2000 ms
  kResultRetriesFailed = 1004,      // three bad or incomplete reply packets
  kResultReplyOverrun = 1005,       // bytes kept coming, but no whole reply within kReplyPhaseMs
  kResultPortGone = 1006,           // the port's far end hung up: nothing passes any more
  // Z report.
  kResultSignatureRejected = 2001,  // the operator answered No; "x/5" follows
  kResultBFileFailed = 2002,        // the B file could not be written; nothing sent
  kResultFingerprintFailed = 2003,  // the A file could not be read; nothing sent
  kResultNoReport = 2004,           // no report in hand (the last "A" named none); nothing sent
  kResultSignatureStopped = 2005,   // the operator stopped the run at the question; nothing sent
  // Command execution.
  kResultStillBusy = 3001,          // the device kept answering BUSY/PRINTEROFFLINE
  // Any link, and the BUSY repeat: the front end's stop (Host::StopRequested)
  // ended the exchange; a log line says how far it got.
  kResultStopped = 3002,
};

}  // namespace veritor
