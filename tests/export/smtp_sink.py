"""A mail server for the tests, on 127.0.0.1 only: prints its port, then
serves until its standard input closes.

  smtp_sink.py accept DIR   keeps each message as DIR/N.eml
  smtp_sink.py refuse DIR   answers every recipient with 550
  smtp_sink.py stall DIR    takes connections and never says a word
"""
import asyncio
import os
import socket
import sys
import threading

mode, folder = sys.argv[1], sys.argv[2]

if mode == "stall":
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    print(listener.getsockname()[1], flush=True)
    held = []
    threading.Thread(target=lambda: [held.append(listener.accept()) for _ in range(4)], daemon=True).start()
    sys.stdin.read()
    sys.exit(0)

from aiosmtpd.controller import Controller


class Sink:
    count = 0

    async def handle_RCPT(self, server, session, envelope, address, options):
        if mode == "refuse":
            return "550 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        Sink.count += 1
        with open(os.path.join(folder, f"{Sink.count}.eml"), "wb") as out:
            out.write(envelope.original_content)
        return "250 Message accepted"


probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(Sink(), hostname="127.0.0.1", port=port)
controller.start()
print(port, flush=True)
sys.stdin.read()
controller.stop()
