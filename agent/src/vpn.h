// Starting and ending the VPN (the OpenVPN and management threads).
#pragma once

// 0 when both threads were created; 12 no server or VPN not idle; 15 a
// thread could not be created.
int vpn_start();

// Asks the VPN to end and waits until it has; always 0.
int vpn_stop();
