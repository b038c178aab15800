# A COM port from the adapter's plug-in to its line settings, driven the way the port host and
# the serial stack drive it.  Run it with --log to see the driver at work, or --usb to see the
# vendor requests on the bus.

# The adapter finds its COM number in the registry and joins the driver's list as COM5.
plug serial portnumber=5          => s1
devices                           => "devices: COM5"

# The script plays the port host: it has the driver create the port object for COM5, which binds
# it to the adapter of that name.  The serial stack then opens the port through its open entry.
createport COM5                   => "createport: ok"
open COM5                         => "open: ok"

# A fresh open period: no baud rate yet, 8 data bits, no parity, one stop bit, XON 0x11 and XOFF
# 0x13.  Opening tells the adapter nothing.
getcommstate                      => "baud=0 bitmask=0x40001 xonlim=4294967295 xofflim=4294967295 bytesize=8 parity=0 stopbits=0 xonchar=0x11 xoffchar=0x13"
adapter s1 requests               => "adapter: "

# 9600 baud, 8N1.  Only the baud rate differs from what the port has, so the adapter gets the
# divisor (request 5: 115200 / 9600 = 12) but no new line control.  Modem control (request 10)
# follows every change: DTR, RTS and OUT2.  The first settings after an open wait 100 ms and
# read the modem status (request 2): no lines are up yet.
setcommstate baud=9600 bytesize=8 parity=0 stopbits=0   => "setcommstate: 1"
adapter s1 requests               => "adapter: 5=0C000000 10=0B 2<00"
field LCR                         => "field: LCR=0x3"
field MCR                         => "field: MCR=0xb"
field bMSRShadow                  => "field: bMSRShadow=0x0"

# 7 data bits with even parity: now the line control changes (request 7), and the divisor stays.
setcommstate bytesize=7 parity=2  => "setcommstate: 1"
adapter s1 requests               => "adapter: 7=1A 10=0B"

# The modem at the other end raises CTS.  The adapter reports the change on its interrupt pipe;
# the driver reads that pipe only once Setup has started its transfers, which this script does
# not do.  What it does see is the modem status that a change of baud rate reads again:
# CTS (0x10) and its change (0x01).
line s1 lines 0x10                => "line: ok"
setcommstate baud=19200           => "setcommstate: 1"
adapter s1 requests               => "adapter: 5=06000000 10=0B 2<11"
field bMSRShadow                  => "field: bMSRShadow=0x11"
getcommstate                      => "baud=19200"

# Events: the serial stack names the ones it cares about (CTS and the CTS line), reads the event
# word and asks for callbacks.  Events are recorded by the port's transfers, which Setup starts;
# without them the event word stays empty and no callback comes.
eventmask 0x0408                  => "eventmask: 1"
events                            => "events: 0x00000000"
notify on                         => "notify: 1"
readcallback 64                   => "readcallback: 1"
notifications                     => "notifications: "
field m_NfyFlags                  => "field: m_NfyFlags=0x40"

# Closing leaves the port object; deleting it is the port host's last word.
close                             => "close: 1"
field m_open                      => "field: m_open=0x0"
deleteall                         => "deleteall: ok"
