"""A message sink for aiosmtpd, used by the project's tests as a real SMTP
server on loopback.

    python3 -m aiosmtpd -n -l 127.0.0.1:PORT -c smtp_sink.FolderSink FOLDER [reject=TEXT]

Every accepted message is written into FOLDER as NNNNNN.eml (the DATA bytes
as received) and then NNNNNN.env (line 1: the envelope sender; one line per
recipient after it), as aiosmtpd reports them: addresses without their angle
brackets, and "<>" for the null sender. The .env file appears last, by
rename, so a reader that sees it sees the whole message. With reject=TEXT every recipient whose
address contains TEXT is refused with 550. With stall, the reply to the
message never comes: the connection stays open and silent.
"""
import asyncio
import os


class FolderSink:
    def __init__(self, folder, reject=None, stall=False):
        self.folder = folder
        self.reject = reject
        self.stall = stall
        self.count = 0

    @classmethod
    def from_cli(cls, parser, *args):
        if not args:
            parser.error("FolderSink needs the folder to write messages into")
        reject, stall = None, False
        for arg in args[1:]:
            if arg.startswith("reject="):
                reject = arg[len("reject="):]
            elif arg == "stall":
                stall = True
            else:
                parser.error("FolderSink: unknown argument " + arg)
        return cls(args[0], reject, stall)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject and self.reject in address:
            return "550 5.1.1 <%s>: recipient refused by the test sink" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.stall:
            await asyncio.sleep(3600)
        self.count += 1
        base = os.path.join(self.folder, "%06d" % self.count)
        data = envelope.original_content
        if data is None:
            data = envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        with open(base + ".eml", "wb") as f:
            f.write(data)
        lines = [envelope.mail_from or ""] + list(envelope.rcpt_tos)
        with open(base + ".env.tmp", "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(base + ".env.tmp", base + ".env")
        return "250 2.0.0 Message accepted for delivery"
