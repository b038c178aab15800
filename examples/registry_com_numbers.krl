# COM numbers come from "PortNumber" in each adapter's device key, read when a newly plugged
# adapter starts.
reg set "Enum\USB\VID_0C9E&PID_0200\BAY1" PortNumber sz 7
reg set "Enum\USB\VID_0C9E&PID_0200\BAY2" PortNumber sz 12
plug serial instance=BAY2
plug serial instance=BAY1
devices                           => COM12,COM7
reg keys "Enum\USB\VID_0C9E&PID_0200" => BAY1,BAY2

# A new number takes effect when the adapter is plugged in again.
reg set "Enum\USB\VID_0C9E&PID_0200\BAY1" PortNumber sz 9
unplug s2
plug serial instance=BAY1 as=again
devices                           => COM12,COM9

# A key without a number: the adapter waits until the port host numbers it.
reg set "Enum\USB\VID_0C9E&PID_0200\BAY3" Note sz "no number here"
plug serial instance=BAY3
devices                           => COM12,COM9
setcommport 3
devices                           => COM12,COM9,COM3
