/* The five calls of the classic, process-wide ADS port interface that
 * libTcAdsDll.so exports, with their C types as Beckhoff's library declares
 * them. Results: 0 on success, else an ADS or AMS error code. */
#ifndef KVT_TC_ADS_API_H
#define KVT_TC_ADS_API_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  unsigned char b[6];
} AmsNetId;

typedef struct {
  AmsNetId netId;
  unsigned short port;
} AmsAddr, *PAmsAddr;

#define KVT_ADS_EXPORT __attribute__((visibility("default")))

/* Opens the process's ADS port (counted: every open wants a close) and
 * returns its number; 0 when none is left. */
KVT_ADS_EXPORT long AdsPortOpen(void);
/* Closes one open; the last one also closes the connections. */
KVT_ADS_EXPORT long AdsPortClose(void);
/* This process's AMS address: the local Net ID (KVT_ADS_LOCAL_NET_ID, the
 * route file's `local` line, this machine's first non-loopback IPv4
 * address + ".1.1", or 127.0.0.1.1.1) and the open port. */
KVT_ADS_EXPORT long AdsGetLocalAddress(PAmsAddr pAddr);
KVT_ADS_EXPORT long AdsSyncReadReq(PAmsAddr pAddr, unsigned long nIndexGroup, unsigned long nIndexOffset,
                                   unsigned long nLength, void* pData);
KVT_ADS_EXPORT long AdsSyncReadWriteReq(PAmsAddr pAddr, unsigned long nIndexGroup, unsigned long nIndexOffset,
                                        unsigned long nReadLength, void* pReadData, unsigned long nWriteLength,
                                        void* pWriteData);

#ifdef __cplusplus
}
#endif

#endif
