# Plug-and-play requests to a running adapter.  A stop takes it out of the device list.  At the
# new start the registry lookup skips device nodes that were started before, so the adapter does
# not find its number again: it waits for the port host, like an adapter without a number.
plug serial portnumber=4
devices                           => "devices: COM4"
pnp s1 query-stop                 => status=0x00000000
pnp s1 stop                       => status=0x00000000
devices
pnp s1 start                      => status=0x00000000
devices
setcommport 4                     => ok
devices                           => "devices: COM4"

# A removal that is asked for and then called off changes nothing.
pnp s1 query-remove               => status=0x00000000
pnp s1 cancel-remove              => status=0x00000000
devices                           => "devices: COM4"
unplug s1                         => ok
devices
