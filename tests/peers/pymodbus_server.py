#!/usr/bin/python3
"""A Modbus TCP server on pymodbus, an independent peer for the driver's tests.

Usage: pymodbus_server.py PORT

Serves unit 1 on 127.0.0.1:PORT with 200 of each data kind, addresses from 0,
and these values preset: holding registers 10-11 = 0x1234, 0x5678; input
register 5 = 777; coil 3 on; discrete input 4 on. Prints "ready" once the
socket listens.
"""
import asyncio
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusTcpServer


def block():
    return ModbusSequentialDataBlock(0, [0] * 200)


async def main(port):
    store = ModbusSlaveContext(di=block(), co=block(), hr=block(), ir=block(), zero_mode=True)
    store.setValues(3, 10, [0x1234, 0x5678])
    store.setValues(4, 5, [777])
    store.setValues(1, 3, [1])
    store.setValues(2, 4, [1])
    context = ModbusServerContext(slaves=store, single=True)
    server = ModbusTcpServer(context, address=("127.0.0.1", port), allow_reuse_address=True)
    serving = asyncio.ensure_future(server.serve_forever())
    while server.server is None:  # the socket is bound inside serve_forever
        await asyncio.sleep(0.01)
    print("ready", flush=True)
    await serving


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))
