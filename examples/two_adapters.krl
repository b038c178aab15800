# Two serial adapters: the first gets its COM number from its registry key at start, the second
# waits until the port host hands it one (KRLUSB_SetCommPort).
plug serial portnumber=5          => s1 \Device\COMPORT001
plug serial                       => s2 \Device\COMPORT002
devices                           => "devices: COM5"
setcommport 6                     => ok
expect-log SetCommPort
devices                           => "devices: COM5,COM6"
