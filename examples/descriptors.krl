# The adapter's descriptors and pipes through the device I/O-control interface of its device
# object \Device\COMPORTnnn (the interface diagnostic tools use; no COM port is involved).
plug serial portnumber=3

# The 18-byte device descriptor: USB 1.10, vendor 0x0C9E, product 0x0200.
ioctl s1 0x222004 out=18          => status=0x00000000 info=18 out=hex:12011001000000089E0C0002

# The configuration: 9 bytes of header first, then all 39 bytes (one interface, three endpoints).
ioctl s1 0x222008 out=9           => info=9 out=hex:090227000101008032
ioctl s1 0x222008 out=64          => info=39

# A product 0x0210 adapter says so in its device descriptor.
plug serial pid=0210 portnumber=4
ioctl s2 0x222004 out=18          => out=hex:12011001000000089E0C1002

# Codes the driver does not know are refused.
ioctl s1 0x222014                 => status=0xc000000d info=0 out=hex:
