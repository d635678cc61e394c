"""The serial line as the pty's slave side sees it: what Wine made of
SetCommState."""
import termios

BAUD_OF_SPEED = {
    getattr(termios, f"B{b}"): b
    for b in (0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800,
              9600, 19200, 38400, 57600, 115200, 230400)
    if hasattr(termios, f"B{b}")
}


def line_settings(fd):
    """The line settings of a pty's slave side, as the Windows side left
    them."""
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}
    return {
        "ispeed": BAUD_OF_SPEED.get(ispeed, -1),
        "ospeed": BAUD_OF_SPEED.get(ospeed, -1),
        "bits": size[cflag & termios.CSIZE],
        "parenb": bool(cflag & termios.PARENB),
        "parodd": bool(cflag & termios.PARODD),
        "cstopb": bool(cflag & termios.CSTOPB),
        "crtscts": bool(cflag & termios.CRTSCTS),
        "ixon": bool(iflag & termios.IXON),
        "ixoff": bool(iflag & termios.IXOFF),
        "icrnl": bool(iflag & termios.ICRNL),
        "inpck": bool(iflag & termios.INPCK),
        "echo": bool(lflag & termios.ECHO),
        "icanon": bool(lflag & termios.ICANON),
        "opost": bool(oflag & termios.OPOST),
        "iflag": iflag, "oflag": oflag, "cflag": cflag, "lflag": lflag,
    }
