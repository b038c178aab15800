# What the COM port refuses, and the error codes it leaves for the serial stack: -10 for a port
# that is not there, -2 for one that is open already, -5, -11 and -12 for bad line settings.
plug serial portnumber=5          => s1

# Before the port host creates the port object there is nothing to open.
open COM5                         => "open: null error=-10"

# The port object binds to the adapter of the same name; no adapter is COM7.
createport COM7                   => "createport: null"
createport COM5                   => "createport: ok"

# Names are matched exactly, letter case included.
open COM6                         => "open: null error=-10"
open com5                         => "open: null error=-10"
open COM5                         => "open: ok"
open COM5                         => "open: null error=-2"

# Line settings are checked before anything changes: parity 0-4, stop bits 0-2, 5 to 8 data bits,
# a baud rate from 2 to 115200 or an index code the adapter supports (0xFF19 is not one).
setcommstate parity=5             => "setcommstate: 0 error=-5"
setcommstate stopbits=3           => "setcommstate: 0 error=-5"
setcommstate bytesize=4           => "setcommstate: 0 error=-11"
setcommstate bytesize=9           => "setcommstate: 0 error=-11"
setcommstate baud=1               => "setcommstate: 0 error=-12"
setcommstate baud=115201          => "setcommstate: 0 error=-12"
setcommstate baud=0xFF19          => "setcommstate: 0 error=-12"
field dwLastError                 => "field: dwLastError=0xfffffff4"
getcommstate                      => "baud=0 bitmask=0x40001"
adapter s1 requests               => "adapter: "

# A field the action mask does not select is not checked, nor changed.
setcommstate bytesize=9 mask=0    => "setcommstate: 1"
getcommstate                      => "bytesize=8"

# Closing a port that is no longer open changes nothing and succeeds.
close                             => "close: 1"
close                             => "close: 1"

# An adapter unplugged under an open port: the port stays open, and closing it fails with -2,
# since the port has no device left to let go of.
open COM5                         => "open: ok"
unplug s1                         => "unplug: ok"
close                             => "close: 0 error=-2"
field m_open                      => "field: m_open=0x1"

# Deleting the port object closes what it can and frees it all the same.
deleteall                         => "deleteall: ok"
