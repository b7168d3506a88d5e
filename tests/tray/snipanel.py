#!/usr/bin/python3
"""A minimal StatusNotifierItem panel for the tests: the watcher and one host in one process.

Prints "item <service> <path>" for each item that registers, and "ready" once it owns the
watcher's name with its host registered. Ends on SIGTERM.
"""
import asyncio
import os
import signal
import sys

from dbus_next import BusType, Variant
from dbus_next.aio import MessageBus
from dbus_next.service import ServiceInterface, dbus_property, method, signal as dbus_signal
from dbus_next.constants import PropertyAccess


class Watcher(ServiceInterface):
    def __init__(self):
        super().__init__("org.kde.StatusNotifierWatcher")
        self.items = []
        self.host = False

    @method()
    def RegisterStatusNotifierItem(self, service: "s"):
        self._register(service)

    def _register(self, service):
        # An item may give its bus name (at the usual path) or an object path on the sender.
        sender = self._sender
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            path, service = service, sender
        entry = f"{service}{path}"
        if entry not in self.items:
            self.items.append(entry)
        print(f"item {service} {path}", flush=True)
        self.StatusNotifierItemRegistered(entry)

    @method()
    def RegisterStatusNotifierHost(self, service: "s"):
        self.host = True
        self.StatusNotifierHostRegistered()

    @dbus_property(access=PropertyAccess.READ)
    def RegisteredStatusNotifierItems(self) -> "as":
        return self.items

    @dbus_property(access=PropertyAccess.READ)
    def IsStatusNotifierHostRegistered(self) -> "b":
        return self.host

    @dbus_property(access=PropertyAccess.READ)
    def ProtocolVersion(self) -> "i":
        return 0

    @dbus_signal()
    def StatusNotifierItemRegistered(self, service) -> "s":
        return service

    @dbus_signal()
    def StatusNotifierItemUnregistered(self, service) -> "s":
        return service

    @dbus_signal()
    def StatusNotifierHostRegistered(self):
        return None


async def main():
    bus = await MessageBus(bus_type=BusType.SESSION).connect()
    watcher = Watcher()
    watcher._sender = None

    # dbus-next does not hand the sender to methods: note it from each incoming call.
    def note_sender(message):
        if message.member == "RegisterStatusNotifierItem":
            watcher._sender = message.sender
        return None

    bus.add_message_handler(note_sender)
    bus.export("/StatusNotifierWatcher", watcher)
    await bus.request_name("org.kde.StatusNotifierWatcher")
    await bus.request_name(f"org.kde.StatusNotifierHost-{os.getpid()}")
    watcher.RegisterStatusNotifierHost(f"org.kde.StatusNotifierHost-{os.getpid()}")
    print("ready", flush=True)

    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, done.set)
    await done.wait()
    bus.disconnect()


if __name__ == "__main__":
    asyncio.run(main())
